#include "httpclient.h"

#include "proxytunnel.h"
#include "translated.h"

#include <QFileDevice>
#include <QIODevice>
#include <QMetaObject>
#include <QTcpSocket>
#include <QUrl>

#include <cerrno>

#include <unistd.h>

namespace {

// What one read takes from the connection before it goes to the device.
const qsizetype blockSize = 256 * 1024;
// What one turn of the event loop reads at most. Far more than a block: each time a busy
// machine lets this thread run, it empties the kernel's buffer, so the TCP window opens wide
// again instead of holding the server to a block per time slice.
const qint64 turnSize = 4 * 1024 * 1024;
// What Qt's socket holds for us at most. A plain connection is read straight from the kernel
// into the block, so Qt's buffer only wakes us; through a SOCKS proxy, Qt's is the only way in.
const qint64 wakingBufferSize = 16 * 1024;
const qint64 socksBufferSize = turnSize;
// An attempt that brought less than this counts as one that brought nothing: a host that
// trickles a byte and stalls earns no quick retry.
const qint64 meaningfulProgress = 64 * 1024;

bool writeAll(QIODevice *device, QByteArrayView data)
{
    qint64 done = 0;
    while (done < data.size()) {
        const qint64 written = device->write(data.constData() + done, data.size() - done);
        if (written <= 0)
            return false;
        done += written;
    }
    // A buffered file reports a full disk only when it flushes; find out now, not at close.
    if (auto file = qobject_cast<QFileDevice *>(device))
        return file->flush();
    return true;
}

// The failures a user meets most, in the user's language; the rarer ones keep Qt's text. A
// proxy's failure names the proxy and what it answered.
QString networkFailure(QAbstractSocket::SocketError error, const QString &qtText,
                       const QNetworkProxy &proxy)
{
    const auto proxyFailure = [&] {
        return translated("The proxy server %1 did not pass the download on: %2")
            .arg(QStringLiteral("%1:%2").arg(proxy.hostName()).arg(proxy.port()), qtText);
    };
    // Refused or not found through a proxy: it is the proxy that could not be reached.
    const bool viaProxy = proxy.type() != QNetworkProxy::NoProxy;
    switch (error) {
    case QAbstractSocket::ProxyConnectionRefusedError:
    case QAbstractSocket::ProxyConnectionClosedError:
    case QAbstractSocket::ProxyNotFoundError:
    case QAbstractSocket::ProxyConnectionTimeoutError:
    case QAbstractSocket::ProxyAuthenticationRequiredError:
    case QAbstractSocket::ProxyProtocolError:
        return proxyFailure();
    case QAbstractSocket::ConnectionRefusedError:
        return viaProxy ? proxyFailure() : translated("The package server refused the connection.");
    case QAbstractSocket::HostNotFoundError:
        return viaProxy
            ? proxyFailure()
            : translated("The package server was not found. Check your internet connection.");
    case QAbstractSocket::SocketTimeoutError:
        return translated("The package server did not answer in time.");
    default:
        return qtText;
    }
}

// What identifies this version of the body for If-Range, when the server serves byte ranges.
// A weak ETag cannot be used there; a Last-Modified date can.
QByteArray resumeValidator(const HttpResponseHeader &header)
{
    if (header.statusCode() != 200 || header.value("Accept-Ranges").trimmed() != "bytes")
        return QByteArray();
    const QByteArray etag = header.value("ETag").trimmed();
    if (etag.startsWith('"'))
        return etag;
    return header.value("Last-Modified").trimmed();
}

} // namespace

HttpClient::HttpClient(QObject *parent)
    : QObject(parent)
{
    stallTimer.setInterval(60000);
    connect(&stallTimer, &ClockTimer::timeout, this, &HttpClient::onStalled);
    connect(&retryTimer, &ClockTimer::timeout, this, &HttpClient::resume);
}

void HttpClient::setRetryPauses(const QList<int> &milliseconds)
{
    retryPauses = milliseconds;
}

void HttpClient::setStallTimeout(int milliseconds)
{
    stallTimer.setInterval(milliseconds);
}

void HttpClient::setClock(const std::shared_ptr<const Clock> &clock)
{
    stallTimer.setClock(clock);
    retryTimer.setClock(clock);
}

HttpClient::~HttpClient()
{
    pending.clear();
    releaseSocket();
}

int HttpClient::setHost(const QString &host, quint16 port)
{
    Request request;
    request.kind = SetHost;
    request.host = host;
    request.port = port;
    return enqueue(request);
}

int HttpClient::head(const QString &path)
{
    Request request;
    request.kind = Head;
    request.path = path;
    return enqueue(request);
}

int HttpClient::get(const QString &path, QIODevice *to)
{
    Request request;
    request.kind = Get;
    request.path = path;
    request.device = to;
    request.hasDevice = to != nullptr;
    return enqueue(request);
}

bool HttpClient::hasPendingRequests() const
{
    return !pending.isEmpty();
}

void HttpClient::abort()
{
    pending.clear();
    if (!busy)
        return;
    fail(translated("Request aborted"));
}

int HttpClient::enqueue(Request request)
{
    request.id = ++lastId;
    pending.enqueue(request);
    scheduleNext();
    return request.id;
}

// Requests start from the event loop, so that a caller can queue several before the first runs.
void HttpClient::scheduleNext()
{
    if (busy || startScheduled || pending.isEmpty())
        return;
    startScheduled = true;
    QMetaObject::invokeMethod(this, &HttpClient::startNext, Qt::QueuedConnection);
}

void HttpClient::startNext()
{
    startScheduled = false;
    while (!busy && !pending.isEmpty()) {
        current = pending.dequeue();
        busy = true;
        const int id = current.id;
        emit requestStarted(id);
        if (!busy || current.id != id)
            continue;
        if (current.kind == SetHost) {
            hostName = current.host;
            hostPort = current.port;
            finishCurrent();
            continue;
        }
        sendRequest();
        return;
    }
}

void HttpClient::sendRequest()
{
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(hostName);
    // The standard port stays out of the Host field, as other clients leave it out.
    url.setPort(hostPort == 80 ? -1 : hostPort);
    // Decoded mode: a '%' or '?' in the path is a character of the path, encoded on the wire.
    url.setPath(current.path.isEmpty() ? QStringLiteral("/") : current.path, QUrl::DecodedMode);
    // Dot segments go, as RFC 3986 has every client remove them.
    url = url.adjusted(QUrl::NormalizePathSegments);

    const QNetworkProxy target = proxies.forDownloads(hostName, hostPort);
    // An HTTP proxy gets the whole address and the password of its own address from the first
    // request on; a SOCKS proxy carries the connection itself.
    const bool viaHttpProxy = target.type() == QNetworkProxy::HttpProxy;
    QByteArray request = (current.kind == Head ? "HEAD " : "GET ")
        + (viaHttpProxy ? url.toEncoded() : url.path(QUrl::FullyEncoded).toLatin1())
        + " HTTP/1.1\r\nHost: "
        + url.authority(QUrl::FullyEncoded).toLatin1()
        // Some hosts and proxies turn away a request that names no client.
        + "\r\nUser-Agent: vorn-updater"
        // A package must arrive as the server stores it, never decompressed on the way.
        + "\r\nAccept-Encoding: identity\r\n";
    if (transfer.resuming) {
        request += "Range: bytes=" + QByteArray::number(transfer.received)
            + "-\r\nIf-Range: " + transfer.validator + "\r\n";
    }
    if (viaHttpProxy && ProxyTunnel::fits(target))
        request += "Proxy-Authorization: " + ProxyTunnel::authorization(target) + "\r\n";
    request += "\r\n";

    response = HttpResponseParser(current.kind == Get);
    reusedSocket = socket && socket->state() == QAbstractSocket::ConnectedState
        && socketHost == hostName && socketPort == hostPort && proxy == target;
    if (reusedSocket) {
        stallTimer.start();
        socket->write(request);
        return;
    }
    releaseSocket();
    proxy = target;
    socketHost = hostName;
    socketPort = hostPort;
    socket.reset(new QTcpSocket);
    socket->setProxy(viaHttpProxy ? QNetworkProxy(QNetworkProxy::NoProxy) : proxy);
    // Full, it stops reading from the kernel: see readAvailable().
    socket->setReadBufferSize(socket->proxy().type() == QNetworkProxy::NoProxy ? wakingBufferSize
                                                                               : socksBufferSize);
    connect(socket.data(), &QTcpSocket::readyRead, this, &HttpClient::onReadyRead);
    connect(socket.data(), &QTcpSocket::errorOccurred, this, &HttpClient::onSocketError);
    connect(socket.data(), &QTcpSocket::connected, this,
            [this, request] { socket->write(request); });
    // A refused connection may fail the request before connectToHost() returns.
    stallTimer.start();
    if (viaHttpProxy)
        socket->connectToHost(proxy.hostName(), proxy.port());
    else
        socket->connectToHost(hostName, hostPort);
}

void HttpClient::finishCurrent(const Failure &failure)
{
    stallTimer.stop();
    if (failure || response.state() != HttpResponseParser::Complete || !response.keepsConnection()
        || (socket && socket->bytesAvailable() > 0))
        releaseSocket();
    retryTimer.stop();
    transfer = Transfer();
    const int id = current.id;
    current = Request();
    busy = false;
    if (failure)
        pending.clear();
    emit requestFinished(id, failure);
    scheduleNext();
}

void HttpClient::releaseSocket()
{
    stallTimer.stop();
    if (!socket)
        return;
    socket->disconnect(this);
    socket->abort();
    socket.reset();
}

// A server that stops sending would otherwise keep the download open forever.
void HttpClient::onStalled()
{
    const QString text = translated("The package server sent nothing for %1 seconds.")
                             .arg(qMax(1, stallTimer.interval() / 1000));
    if (!retryBrokenGet())
        fail(text);
}

// Only a body that broke off is resumed. A connection that brought a good part of it before it
// broke is taken up again at once, as a dropped link mostly is; attempts that bring (next to)
// nothing wait longer each time, and after the last pause the download fails.
bool HttpClient::retryBrokenGet()
{
    if (current.kind != Get || !transfer.headerSent || transfer.validator.isEmpty()
        || transfer.resumes >= maximumResumes)
        return false;
    const bool progressed = transfer.received - transfer.attemptStart >= meaningfulProgress;
    if (progressed)
        transfer.failedAttempts = 0;
    else if (transfer.failedAttempts >= retryPauses.size())
        return false;
    releaseSocket();
    retryTimer.start(progressed ? 0 : retryPauses.at(transfer.failedAttempts++));
    ++transfer.resumes;
    return true;
}

void HttpClient::resume()
{
    transfer.resuming = true;
    transfer.attemptStart = transfer.received;
    sendRequest();
}

// The answer to a request for the rest of the body: the rest, the whole body again, or a
// failure that the caller judges as it would the first answer.
bool HttpClient::takeResumedHeader(const HttpResponseHeader &header)
{
    transfer.resuming = false;
    const QTcpSocket *const handled = socket.data();
    if (header.statusCode() == 206) {
        // "bytes FIRST-LAST/TOTAL": the rest must begin where the body broke off.
        const QByteArray range = header.value("Content-Range");
        const qsizetype dash = range.indexOf('-');
        bool ok = range.startsWith("bytes ") && dash > 6;
        const qint64 first = ok ? range.mid(6, dash - 6).trimmed().toLongLong(&ok) : -1;
        if (!ok || first != transfer.received || !header.hasContentLength()) {
            fail(translated("The package server resumed the download at the wrong place."));
            return false;
        }
        transfer.expectedLength = transfer.received + header.contentLength();
        return true;
    }
    if (header.statusCode() == 200) {
        transfer.received = 0;
        transfer.attemptStart = 0;
        transfer.expectedLength = header.hasContentLength() ? header.contentLength() : -1;
        emit bodyRestarted();
        return socket.data() == handled;
    }
    emit responseHeaderReceived(header);
    if (socket.data() != handled)
        return false;
    fail(translated("The server sent no valid response."));
    return false;
}

void HttpClient::onReadyRead()
{
    // A kept connection has nothing to say between requests.
    if (!busy) {
        releaseSocket();
        return;
    }
    stallTimer.start();
    readAvailable();
}

void HttpClient::onSocketError(QAbstractSocket::SocketError error)
{
    if (!busy) {
        releaseSocket();
        return;
    }
    if (reusedSocket && response.state() == HttpResponseParser::ReadingHeader
        && socket->bytesAvailable() == 0) {
        releaseSocket();
        sendRequest();
        return;
    }
    if (error == QAbstractSocket::RemoteHostClosedError) {
        onClosed();
        return;
    }
    const QString text = networkFailure(error, socket->errorString(), proxy);
    if (!retryBrokenGet())
        fail(text);
}

// What the socket still holds was read from the connection before it closed.
void HttpClient::onClosed()
{
    if (!readAvailable())
        return;
    if (response.close() == HttpResponseParser::Complete) {
        finishCurrent();
        return;
    }
    if (!retryBrokenGet())
        fail(translated("The package server closed the connection early."));
}

// Reads what the socket holds, then what the kernel holds, one block at a time, each passed on
// before the next is read: while the device is behind, the bytes stay in the kernel, whose TCP
// window holds the server back. Returns false when the request ended.
bool HttpClient::readAvailable()
{
    if (readBlock.isEmpty())
        readBlock.resize(blockSize);
    // Qt's buffer first: its bytes came before the kernel's.
    while (socket->bytesAvailable() > 0) {
        const qint64 got = socket->read(readBlock.data(), readBlock.size());
        if (got <= 0)
            break;
        if (!take(QByteArrayView(readBlock.constData(), got)))
            return false;
    }
    const bool plain = socket->proxy().type() == QNetworkProxy::NoProxy
        && socket->state() == QAbstractSocket::ConnectedState;
    const int descriptor = plain ? int(socket->socketDescriptor()) : -1;
    for (qint64 done = 0; descriptor >= 0 && done < turnSize;) {
        const ssize_t got = ::read(descriptor, readBlock.data(), size_t(readBlock.size()));
        if (got < 0 && errno == EINTR)
            continue;
        // Nothing more for now, the end or a failure: Qt's socket meets the last two itself
        // when it reads next, and reports them as it always does.
        if (got <= 0)
            break;
        done += got;
        if (!take(QByteArrayView(readBlock.constData(), got)))
            return false;
    }
    return true;
}

// Passes bytes of the connection on. Returns false when the request ended.
bool HttpClient::take(QByteArrayView data)
{
    while (!data.isEmpty()) {
        const bool hadHeader = response.state() != HttpResponseParser::ReadingHeader;
        QByteArrayView body;
        const HttpResponseParser::State state = response.parse(data, &body);
        if (state == HttpResponseParser::Invalid) {
            fail(translated("The server sent no valid response."));
            return false;
        }
        if (!hadHeader && state != HttpResponseParser::ReadingHeader
            && !takeHeader(response.header()))
            return false;
        if (!body.isEmpty() && !writeBody(body))
            return false;
        if (state == HttpResponseParser::Complete) {
            // The server said more than it was asked: the connection carries nothing further.
            if (!data.isEmpty())
                releaseSocket();
            finishCurrent();
            return false;
        }
    }
    return true;
}

// Returns false when a slot ended the request while the header was being delivered.
bool HttpClient::takeHeader(const HttpResponseHeader &header)
{
    if (transfer.resuming)
        return takeResumedHeader(header);
    transfer.headerSent = true;
    transfer.expectedLength = header.hasContentLength() ? header.contentLength() : -1;
    transfer.validator = resumeValidator(header);
    const QTcpSocket *const handled = socket.data();
    emit responseHeaderReceived(header);
    return socket.data() == handled;
}

// Returns false when the request ended: a failed write, or a slot that aborted it.
bool HttpClient::writeBody(QByteArrayView body)
{
    if (current.hasDevice) {
        if (!current.device) {
            fail(translated("The device receiving the body is gone."));
            return false;
        }
        if (!writeAll(current.device, body)) {
            fail(current.device->errorString());
            return false;
        }
    }
    transfer.received += body.size();
    const QTcpSocket *const handled = socket.data();
    emit dataReadProgress(transfer.received, transfer.expectedLength);
    return socket.data() == handled;
}
