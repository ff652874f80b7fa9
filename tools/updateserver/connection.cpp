#include "connection.h"

#include "replysigner.h"

#include <QDateTime>
#include <QTcpSocket>

#include <cstdio>

#include <sys/socket.h>

namespace {

// The reply is handed to the socket a piece at a time, once the one before has left.
const qsizetype pieceSize = 16 * 1024;
// What the kernel holds of a reply that the client does not take (it doubles the figure): a
// fixed bound instead of the few MiB that it grows each connection's buffer to by itself.
const int sendBufferSize = 64 * 1024;

} // namespace

Connection::Connection(QTcpSocket *socket, std::shared_ptr<const Catalogue> catalogue,
                       std::shared_ptr<const SigningKey> replyKey, ReplySigner *signer,
                       qsizetype maximumQuerySize, int maximumComponents, QObject *parent)
    : QObject(parent)
    , socket(socket)
    , catalogue(std::move(catalogue))
    , replyKey(std::move(replyKey))
    , signer(signer)
    , query(maximumQuerySize)
    , maximumComponents(maximumComponents)
    , peer(peerOf(*socket))
{
    duration.start();
    socket->setParent(this);
    // Qt would otherwise take in whatever the client sends before the query is looked at.
    socket->setReadBufferSize(maximumQuerySize);
    socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, sendBufferSize);
    connect(socket, &QTcpSocket::readyRead, this, &Connection::dataReceived);
    connect(socket, &QTcpSocket::bytesWritten, this, &Connection::writeReply);
    connect(socket, &QTcpSocket::disconnected, this, &Connection::socketDisconnected);
    dataReceived();
}

void Connection::closeIfLate(qint64 deadlineMs)
{
    if (finished || duration.elapsed() < deadlineMs)
        return;
    drop(reply ? QStringLiteral("timed out during the reply, closed")
               : QStringLiteral("timed out before a complete query, closed"));
}

void Connection::log(const QString &peer, qint64 durationMs, const QString &outcome)
{
    std::fprintf(stderr, "%s %s %lld ms %s\n",
                 qUtf8Printable(QDateTime::currentDateTimeUtc().toString(Qt::ISODate)),
                 qUtf8Printable(peer), durationMs, qUtf8Printable(outcome));
}

QString Connection::peerOf(const QTcpSocket &socket)
{
    return QStringLiteral("%1:%2").arg(socket.peerAddress().toString()).arg(socket.peerPort());
}

void Connection::dataReceived()
{
    // What follows a complete query is never read.
    if (finished || reply)
        return;
    switch (query.append(socket->readAll())) {
    case QueryParser::Incomplete:
        break;
    case QueryParser::TooLarge:
        drop(QStringLiteral("query too large, closed"));
        break;
    case QueryParser::Complete:
        reply.emplace(*catalogue, query, maximumComponents, replyKey != nullptr);
        if (reply->status() == ReplyWriter::TooManyComponents)
            drop(QStringLiteral("more than %1 components, closed").arg(maximumComponents));
        else if (reply->status() == ReplyWriter::TooLarge)
            drop(QStringLiteral("reply too large for the updater, closed"));
        else
            writeReply();
        break;
    }
}

void Connection::writeReply()
{
    if (finished || !reply || reply->atEnd())
        return;
    while (socket->bytesToWrite() < pieceSize && !reply->atEnd()) {
        const QByteArray piece = reply->read(pieceSize);
        if (piece.isEmpty())
            break;
        socket->write(piece);
    }
    if (reply->awaitsSignature() && !signing) {
        signing = true;
        signer->sign(replyKey, reply->statement(), this,
                     [this](const QByteArray &signature) { signatureMade(signature); });
    }
    // Closes once the rest has left; disconnected() follows.
    if (reply->atEnd())
        socket->disconnectFromHost();
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

void Connection::socketDisconnected()
{
    if (!reply)
        finish(QStringLiteral("closed by the client before a complete query"));
    else if (reply->atEnd() && socket->bytesToWrite() == 0)
        finish(reply->summary());
    else
        finish(QStringLiteral("closed by the client during the reply"));
    deleteLater();
}

void Connection::finish(const QString &outcome)
{
    if (finished)
        return;
    finished = true;
    log(peer, duration.elapsed(), outcome);
}

void Connection::drop(const QString &outcome)
{
    finish(outcome);
    // Reset, so that the kernel does not go on offering the rest of the reply to a client that
    // takes none of it.
    const linger reset = {1, 0};
    ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    socket->abort();
    deleteLater();
}
