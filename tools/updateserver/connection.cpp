#include "connection.h"

#include "installreport.h"
#include "replysigner.h"
#include "rollouts.h"
#include "serverlog.h"
#include "servermetrics.h"
#include "socketcloser.h"
#include "textconversion.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <ctime>
#include <iterator>
#include <utility>

#include <sys/socket.h>

namespace {

// The reply is handed to the kernel a piece at a time, once the one before has left.
const qsizetype pieceSize = 16 * 1024;
// What is read at once of a query, or of what follows it before the socket closes.
const qsizetype readSize = 16 * 1024;

} // namespace

Connection::Connection(int descriptor, const QHostAddress &peerAddress, quint16 peerPort,
                       std::shared_ptr<const Catalogue> catalogue,
                       std::shared_ptr<const SigningKey> replyKey, ReplySigner *signer,
                       SocketCloser *closer, SocketWatcher *watcher, Rollouts *rollouts,
                       ServerMetrics *metrics, qsizetype maximumQuerySize, int maximumComponents,
                       Owner *owner)
    : socket(descriptor)
    , watcher(watcher)
    , catalogue(std::move(catalogue))
    , replyKey(std::move(replyKey))
    , signer(signer)
    , closer(closer)
    , rollouts(rollouts)
    , metrics(metrics)
    , owner(owner)
    , query(maximumQuerySize)
    , maximumComponents(maximumComponents)
    , peerAddress(peerAddress)
    , peerPort(peerPort)
{
    duration.start();
}

void Connection::start()
{
    dataReceived();
}

void Connection::closeIfLate(qint64 deadlineMs)
{
    if (!isLate(deadlineMs))
        return;
    drop(reply ? QStringLiteral("timed out during the reply, closed")
               : QStringLiteral("timed out before a complete query, closed"));
}

void Connection::log(QByteArrayView peer, qint64 durationMs, const QString &outcome)
{
    // Stamped by the C library once a second for each event loop, and put together by hand:
    // a QDateTime made for each line, the formatting of each line's stamp and then the
    // formatting of the line itself each showed in a busy server's profile.
    thread_local std::time_t stamped = -1;
    thread_local char stamp[sizeof "2000-01-01T00:00:00Z"] = "";
    const std::time_t now = std::time(nullptr);
    if (now != stamped) {
        std::tm utc {};
        stamped = now;
        if (!gmtime_r(&now, &utc)
            || !std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc))
            stamp[0] = '\0';
    }
    char duration[24];
    const char *durationEnd = std::to_chars(duration, std::end(duration), durationMs).ptr;
    // Kept from one line to the next, so that a line allocates nothing.
    thread_local QByteArray line;
    line.resize(0);
    line += stamp;
    line += ' ';
    line += peer;
    line += ' ';
    line += QByteArrayView(duration, durationEnd - duration);
    line += " ms ";
    // Most outcomes are ASCII, which needs no UTF-8 copy of its own.
    if (isAscii(outcome)) {
        const qsizetype at = line.size();
        line.resize(at + outcome.size());
        std::transform(outcome.cbegin(), outcome.cend(), line.data() + at,
                       [](QChar c) { return char(c.unicode()); });
    } else {
        line += outcome.toUtf8();
    }
    line += '\n';
    ServerLog::write(line);
}

QByteArray Connection::peerOf(const QHostAddress &address, quint16 port)
{
    // An IPv4 client, by far the most common, is named without the general formatter's
    // several strings, nor the C library's.
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        const quint32 ip = address.toIPv4Address();
        char text[sizeof "255.255.255.255:65535"];
        char *end = text;
        for (int shift = 24; shift >= 0; shift -= 8) {
            end = std::to_chars(end, std::end(text), (ip >> shift) & 0xff).ptr;
            *end++ = shift > 0 ? '.' : ':';
        }
        end = std::to_chars(end, std::end(text), port).ptr;
        return QByteArray(text, end - text);
    }
    return (address.toString() + u':' + QString::number(port)).toUtf8();
}

void Connection::socketReady()
{
    if (reply)
        writeReply();
    else
        dataReceived();
}

void Connection::dataReceived()
{
    // What follows a complete query is never read.
    if (finished || reply)
        return;
    // On the stack: a block this size from the heap for each exchange costs more than the
    // exchange's own work in the allocator.
    char bytes[readSize];
    const ssize_t count = ::recv(socket.get(), bytes, sizeof bytes, 0);
    if (count < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            drop(QStringLiteral("closed by the client before a complete query"));
        else
            awaitQuery();
        return;
    }
    if (count == 0) {
        if (kind == Report)
            reportReceived(QByteArray(), true);
        else
            finish(QStringLiteral("closed by the client before a complete query"));
        return;
    }
    const QByteArray piece = QByteArray::fromRawData(bytes, count);
    if (kind == Query) {
        queryReceived(piece);
        return;
    }
    if (kind == Report) {
        reportReceived(piece, false);
        return;
    }
    // The first bytes are held until they tell the two apart, which the first piece does but
    // for a client that sends a byte at a time: that piece is looked at where it lies.
    const QByteArray first = received.isEmpty() ? piece : std::exchange(received, {}) + piece;
    if (InstallReport::startsLike(first)) {
        // Copied: the piece's bytes are gone once this returns.
        received = QByteArray(first.constData(), first.size());
        awaitQuery();
        return;
    }
    kind = InstallReport::isReport(first) ? Report : Query;
    if (kind == Query)
        queryReceived(first);
    else
        reportReceived(first, false);
}

void Connection::queryReceived(const QByteArray &bytes)
{
    if (query.append(bytes)) {
        drop(QStringLiteral("query too large, closed"));
        return;
    }
    if (!query.isComplete()) {
        awaitQuery();
        return;
    }
    reply.emplace(*catalogue, query, maximumComponents, replyKey != nullptr,
                  rollouts->audience(std::time(nullptr)), metrics);
    if (reply->status() == ReplyWriter::TooManyComponents)
        drop(QStringLiteral("more than %1 components, closed").arg(maximumComponents));
    else if (reply->status() == ReplyWriter::ComponentNamedTwice)
        drop(QStringLiteral("a component named twice, closed"));
    else if (reply->status() == ReplyWriter::TooLarge)
        drop(QStringLiteral("reply too large for the updater, closed"));
    else
        writeReply();
}

void Connection::reportReceived(const QByteArray &bytes, bool complete)
{
    received += bytes;
    if (received.size() > InstallReport::maximumSize) {
        if (metrics)
            metrics->reportRefused(QStringLiteral("too-large"));
        drop(QStringLiteral("report too large, closed"));
        return;
    }
    if (!complete) {
        awaitQuery();
        return;
    }
    // Refused reports get no answer: the updater keeps none of them for later either way.
    const std::optional<QList<ReportedPackage>> packages = InstallReport::read(received);
    if (!packages) {
        if (metrics)
            metrics->reportRefused(QStringLiteral("malformed"));
        finish(QStringLiteral("report malformed, closed"));
        return;
    }
    if (!owner->admitReport(peerAddress)) {
        finish(QStringLiteral("report beyond this address's share a minute, closed"));
        return;
    }
    rollouts->record(*packages);
    static const char ok[] = "<ok/>";
    // Five bytes on a fresh connection: the kernel takes them at once or the client is gone.
    // They leave with the FIN, as a reply's end does.
    ::send(socket.get(), ok, sizeof ok - 1, MSG_NOSIGNAL | MSG_DONTWAIT | MSG_MORE);
    finish(QStringLiteral("report of %1 packages taken").arg(packages->size()));
}

void Connection::awaitQuery()
{
    // Only now: under load the query is there as the client is accepted.
    watcher->watch(socket.get(), false, this);
}

void Connection::writeReply()
{
    if (finished || !reply)
        return;
    for (;;) {
        if (unsent.size() < pieceSize)
            unsent += reply->read(pieceSize - unsent.size());
        // The last bytes before the signature wait for it, so that a short reply leaves in one
        // send: a send costs as much as the rest of an exchange in the kernel.
        if (unsent.isEmpty() || (reply->awaitsSignature() && unsent.size() < pieceSize))
            break;
        // The end of the reply waits in the kernel for the close at the end of the pass, and
        // leaves with the FIN in one segment: a segment fewer on both ends of each exchange.
        const int more = reply->atEnd() ? MSG_MORE : 0;
        const ssize_t sent = ::send(socket.get(), unsent.constData(), size_t(unsent.size()),
                                    MSG_NOSIGNAL | MSG_DONTWAIT | more);
        if (sent < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                // The client takes the rest once it has read what the kernel holds.
                watcher->watch(socket.get(), true, this);
                return;
            }
            drop(QStringLiteral("closed by the client during the reply"));
            return;
        }
        unsent.remove(0, sent);
    }
    if (reply->awaitsSignature() && !signing) {
        signing = true;
        signer->sign(replyKey, reply->statement(), this);
    }
    if (reply->atEnd())
        finish(reply->summary());
}

void Connection::signatureMade(const QByteArray &signature)
{
    if (finished)
        return;
    if (signature.isEmpty()) {
        drop(QStringLiteral("the reply key could not sign, closed"));
        return;
    }
    reply->setSignature(signature);
    writeReply();
}

void Connection::finish(const QString &outcome)
{
    end(outcome, false);
}

void Connection::drop(const QString &outcome)
{
    end(outcome, true);
}

void Connection::end(const QString &outcome, bool reset)
{
    if (finished)
        return;
    finished = true;
    log(peerOf(peerAddress, peerPort), duration.elapsed(), outcome);
    if (metrics)
        metrics->exchanged(double(duration.nsecsElapsed()) / 1e9);
    watcher->forget(socket.get());
    // A client that takes none of the reply is not offered the rest.
    if (reset)
        closer->reset(std::move(socket));
    else
        closer->close(std::move(socket));
    owner->connectionEnded(this);
}
