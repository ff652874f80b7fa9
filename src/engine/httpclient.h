#ifndef HTTPCLIENT_H
#define HTTPCLIENT_H

#include "httpresponseheader.h"

#include <QObject>

class QIODevice;

// A small sequential HTTP client: requests are queued and run one after another, in the
// order they were made, each with an id. A failed request drops the rest of the queue.
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
    QString errorString() const;

signals:
    void requestStarted(int id);
    void requestFinished(int id, bool error);
    void dataReadProgress(qint64 done, qint64 total);
    void responseHeaderReceived(const HttpResponseHeader &resp);
};

#endif // HTTPCLIENT_H
