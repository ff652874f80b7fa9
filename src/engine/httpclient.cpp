#include "httpclient.h"

#include "translated.h"

#include <QFileDevice>
#include <QIODevice>
#include <QMetaObject>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

namespace {

// What one read takes from the reply before it goes to the device.
const qint64 chunkSize = 256 * 1024;
// An attempt that brought less than this counts as one that brought nothing: a host that
// trickles a byte and stalls earns no quick retry.
const qint64 meaningfulProgress = 64 * 1024;

bool writeAll(QIODevice *device, const QByteArray &data)
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
QString networkFailure(QNetworkReply::NetworkError error, const QString &qtText,
                       const QNetworkProxy &proxy)
{
    const auto proxyFailure = [&] {
        return translated("The proxy server %1 did not pass the download on: %2")
            .arg(QStringLiteral("%1:%2").arg(proxy.hostName()).arg(proxy.port()), qtText);
    };
    // Refused or not found through a proxy: it is the proxy that could not be reached.
    const bool viaProxy = proxy.type() != QNetworkProxy::NoProxy;
    switch (error) {
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::ProxyNotFoundError:
    case QNetworkReply::ProxyTimeoutError:
    case QNetworkReply::ProxyAuthenticationRequiredError:
    case QNetworkReply::UnknownProxyError:
        return proxyFailure();
    case QNetworkReply::ConnectionRefusedError:
        return viaProxy ? proxyFailure() : translated("The package server refused the connection.");
    case QNetworkReply::RemoteHostClosedError:
        return translated("The package server closed the connection early.");
    case QNetworkReply::HostNotFoundError:
        return viaProxy
            ? proxyFailure()
            : translated("The package server was not found. Check your internet connection.");
    case QNetworkReply::TimeoutError:
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
    manager.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
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
    releaseReply();
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

    manager.setProxy(proxies.forDownloads(hostName, hostPort));
    QNetworkRequest request(url);
    // A package must arrive as the server stores it, never decompressed on the way.
    request.setRawHeader("Accept-Encoding", "identity");
    if (transfer.resuming) {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(transfer.received) + '-');
        request.setRawHeader("If-Range", transfer.validator);
    }
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    request.setAttribute(QNetworkRequest::Http2CleartextAllowedAttribute, false);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);

    reply.reset(current.kind == Head ? manager.head(request) : manager.get(request));
    // No read buffer limit: with one, Qt's network thread holds back what the reply has no room
    // for and drops it when the connection breaks, so a resumed body would fetch those bytes again.
    connect(reply.data(), &QNetworkReply::metaDataChanged, this, &HttpClient::onMetaDataChanged);
    connect(reply.data(), &QNetworkReply::readyRead, this, &HttpClient::onReadyRead);
    connect(reply.data(), &QNetworkReply::finished, this, &HttpClient::onFinished);
    stallTimer.start();
}

void HttpClient::finishCurrent(const Failure &failure)
{
    releaseReply();
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

void HttpClient::releaseReply()
{
    stallTimer.stop();
    if (!reply)
        return;
    reply->disconnect(this);
    // This may run inside one of the reply's own signals, which must not abort it there.
    if (reply->isRunning())
        QMetaObject::invokeMethod(reply.data(), &QNetworkReply::abort, Qt::QueuedConnection);
    reply.reset();
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
    releaseReply();
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
    const QNetworkReply *const handled = reply.data();
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
        return reply.data() == handled;
    }
    emit responseHeaderReceived(header);
    if (reply.data() != handled)
        return false;
    fail(translated("The server sent no valid response."));
    return false;
}

void HttpClient::onMetaDataChanged()
{
    stallTimer.start();
    emitHeaderOnce();
}

void HttpClient::onReadyRead()
{
    stallTimer.start();
    if (emitHeaderOnce())
        writeAvailable();
}

void HttpClient::onFinished()
{
    if (!emitHeaderOnce() || !writeAvailable())
        return;
    bool broken = true;
    QString text;
    if (reply->error() != QNetworkReply::NoError && !isHttpLevelError()) {
        text = networkFailure(reply->error(), reply->errorString(), manager.proxy());
    } else if (!transfer.headerSent) {
        text = translated("The server sent no valid response.");
        broken = false;
    } else if (current.kind == Get && transfer.expectedLength >= 0
               && transfer.received < transfer.expectedLength) {
        text = translated("The connection closed after %1 of %2 bytes.")
                   .arg(transfer.received)
                   .arg(transfer.expectedLength);
    } else if (transfer.resuming) {
        // The attempt to resume got no answer at all.
        text = translated("The server sent no valid response.");
    } else {
        finishCurrent();
        return;
    }
    if (!broken || !retryBrokenGet())
        fail(text);
}

// Returns false when a slot ended the request while the header was being delivered.
bool HttpClient::emitHeaderOnce()
{
    if (transfer.headerSent && !transfer.resuming)
        return true;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        return true;
    const HttpResponseHeader header(
        status.toInt(),
        QString::fromLatin1(
            reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray()),
        reply->rawHeaderPairs());
    if (transfer.resuming)
        return takeResumedHeader(header);
    transfer.headerSent = true;
    transfer.expectedLength = header.hasContentLength() ? header.contentLength() : -1;
    transfer.validator = resumeValidator(header);
    const QNetworkReply *const handled = reply.data();
    emit responseHeaderReceived(header);
    return reply.data() == handled;
}

// Returns false when the request ended: a failed write, or a slot that aborted it.
bool HttpClient::writeAvailable()
{
    if (reply->bytesAvailable() <= 0)
        return true;
    if (current.kind != Get) {
        reply->readAll();
        return true;
    }
    const qint64 before = transfer.received;
    while (reply->bytesAvailable() > 0) {
        const QByteArray chunk = reply->read(chunkSize);
        if (chunk.isEmpty())
            break;
        if (current.hasDevice) {
            if (!current.device) {
                fail(translated("The device receiving the body is gone."));
                return false;
            }
            if (!writeAll(current.device, chunk)) {
                fail(current.device->errorString());
                return false;
            }
        }
        transfer.received += chunk.size();
    }
    if (transfer.received == before)
        return true;
    const QNetworkReply *const handled = reply.data();
    emit dataReadProgress(transfer.received, transfer.expectedLength);
    return reply.data() == handled;
}

// The network layer reports 4xx and 5xx answers as errors; here they are complete responses,
// and the caller judges the status from the header.
bool HttpClient::isHttpLevelError() const
{
    if (!reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid())
        return false;
    switch (reply->error()) {
    case QNetworkReply::ContentAccessDenied:
    case QNetworkReply::ContentOperationNotPermittedError:
    case QNetworkReply::ContentNotFoundError:
    case QNetworkReply::AuthenticationRequiredError:
    case QNetworkReply::ContentConflictError:
    case QNetworkReply::ContentGoneError:
    case QNetworkReply::UnknownContentError:
    case QNetworkReply::ProtocolInvalidOperationError:
    case QNetworkReply::InternalServerError:
    case QNetworkReply::OperationNotImplementedError:
    case QNetworkReply::ServiceUnavailableError:
    case QNetworkReply::UnknownServerError:
        return true;
    default:
        return false;
    }
}
