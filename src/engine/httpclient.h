#ifndef HTTPCLIENT_H
#define HTTPCLIENT_H

#include "clocktimer.h"
#include "failure.h"
#include "httpresponseheader.h"
#include "httpresponseparser.h"
#include "proxyenvironment.h"

#include <QAbstractSocket>
#include <QObject>
#include <QPointer>
#include <QQueue>
#include <QScopedPointer>

#include <memory>

class QIODevice;
class QTcpSocket;

// A small sequential HTTP/1.1 client: requests are queued and run one after another, in the
// order they were made, each with an id. A failed request drops the rest of the queue.
//
// The connection is read no faster than the device takes the body: a device that falls behind
// leaves the bytes in the kernel, whose TCP window holds the server back, so the memory a
// download takes stays bounded however slow the disk or the hashing. A connection that the
// server keeps open carries the next request to the same host.
//
// A GET whose response announced byte ranges and a validator (ETag or Last-Modified) survives
// a broken connection: it asks for the rest with Range and If-Range, and the caller sees one
// response. Should the server send the whole body again (the
// resource changed, or it serves no ranges), bodyRestarted() tells the caller to discard what
// the device received.
class HttpClient : public QObject
{
    Q_OBJECT

public:
    explicit HttpClient(QObject *parent = nullptr);
    ~HttpClient() override;

    // Each returns the id of the queued request.
    int setHost(const QString &host, quint16 port = 80);
    int head(const QString &path);
    // The body is written to `to` as it arrives.
    int get(const QString &path, QIODevice *to);

    // False while the request being handled is the last one queued.
    bool hasPendingRequests() const;
    // Ends the current request with an error and drops the queue.
    void abort();
    // A request that receives nothing for this long fails (default 60 s).
    void setStallTimeout(int milliseconds);
    // The pauses before the attempts to resume a broken download that follow an attempt that
    // brought less than 64 KiB, one per such attempt (default 1, 2 and 4 seconds).
    void setRetryPauses(const QList<int> &milliseconds);
    // The proxies the downloads go through (default: none).
    void setProxies(const ProxyEnvironment &environment) { proxies = environment; }
    // What the stall timeout and the pauses are measured on (default: the system's clock).
    void setClock(const std::shared_ptr<const Clock> &clock);

signals:
    void requestStarted(int id);
    // A failed request carries its failure, of kind Network, in the user's language.
    void requestFinished(int id, const Failure &failure);
    // `total` is -1 when the response announced no length.
    void dataReadProgress(qint64 done, qint64 total);
    void responseHeaderReceived(const HttpResponseHeader &resp);
    // The current GET starts its body over from the first byte.
    void bodyRestarted();

private:
    enum Kind { SetHost, Head, Get };
    struct Request
    {
        int id = 0;
        Kind kind = SetHost;
        QString host;
        quint16 port = 80;
        QString path;
        QPointer<QIODevice> device;
        bool hasDevice = false;
    };

    int enqueue(Request request);
    void scheduleNext();
    void startNext();
    void sendRequest();
    void finishCurrent(const Failure &failure = Failure());
    void fail(const QString &text) { finishCurrent(Failure(Failure::Network, text)); }
    void releaseSocket();

    void onStalled();
    // Schedules the next attempt of a broken GET; false when it cannot be resumed.
    bool retryBrokenGet();
    void resume();
    bool takeHeader(const HttpResponseHeader &header);
    bool takeResumedHeader(const HttpResponseHeader &header);
    void onReadyRead();
    void onSocketError(QAbstractSocket::SocketError error);
    void onClosed();
    bool readAvailable();
    bool take(QByteArrayView data);
    bool writeBody(QByteArrayView body);

    QScopedPointer<QTcpSocket, QScopedPointerDeleteLater> socket;
    HttpResponseParser response;
    // Where the connection's bytes are read to, one block at a time.
    QByteArray readBlock;
    // Where the socket is connected, to name it when it fails and to know whether the next
    // request can go on the same connection.
    QNetworkProxy proxy;
    QString socketHost;
    quint16 socketPort = 0;
    // A kept connection that the server may have closed meanwhile: a request that it drops
    // before any answer is sent again on a new one.
    bool reusedSocket = false;
    ClockTimer stallTimer;
    QQueue<Request> pending;
    Request current;
    bool busy = false;
    bool startScheduled = false;
    int lastId = 0;

    QString hostName;
    quint16 hostPort = 80;

    QList<int> retryPauses {1000, 2000, 4000};
    ProxyEnvironment proxies;
    ClockTimer retryTimer;
    static constexpr int maximumResumes = 100;

    // What the request being handled has received, over all its attempts; reset with it.
    struct Transfer
    {
        bool headerSent = false;
        qint64 received = 0;
        qint64 expectedLength = -1;
        // Attempts in a row that brought no byte, and resumptions of this body in all.
        int failedAttempts = 0;
        int resumes = 0;
        // Where the body stood when the current attempt began.
        qint64 attemptStart = 0;
        // What If-Range sends, from the first response; empty when the body cannot be resumed.
        QByteArray validator;
        bool resuming = false;
    };
    Transfer transfer;
};

#endif // HTTPCLIENT_H
