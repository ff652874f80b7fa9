#ifndef HTTPTESTSERVER_H
#define HTTPTESTSERVER_H

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QPair>
#include <QStringList>
#include <QTcpServer>

class QTcpSocket;

// An HTTP/1.1 server in the test's own thread. It logs every request (request line, header
// fields, the address it arrived on) and answers GET and HEAD with scripted responses: bodies
// sent in pieces that wait for the test, bodies made while they are sent, dropped connections,
// any status. Unknown targets get 404.
class HttpTestServer : public QObject
{
    Q_OBJECT

public:
    using Fields = QList<QPair<QByteArray, QByteArray>>;

    struct Request
    {
        QByteArray method;
        QByteArray target;
        QByteArray version;
        Fields fields;
        QHostAddress localAddress;
        int connection = 0; // serial number of the connection it came on
        int order = 0; // position among the requests of every server of the process

        // The value of the first field of that name (case-insensitive); empty if none.
        QByteArray field(const QByteArray &name) const;
        bool hasField(const QByteArray &name) const;
        // "GET /a.zip", to compare request orders at a glance.
        QString line() const;
    };

    struct Response
    {
        int status = 200;
        QByteArray reason = "OK";
        QByteArray body;
        // When >= 0: a body of that many pattern() bytes, made while it is sent.
        qint64 generatedSize = -1;
        // Without Content-Length (and not chunked) the body ends when the server closes.
        bool announceLength = true;
        bool chunked = false;
        // Sizes of the body's pieces: the server sends a piece, flushes, and waits for
        // releasePiece() before the next. The last piece runs to the end of the body.
        QList<qint64> pieces;
        // When > 0: every GET, a resumed one too, sends that many body bytes, then holds as
        // after a piece.
        qint64 stallEvery = -1;
        // When >= 0: the server closes the connection after that many body bytes.
        qint64 dropAfter = -1;
        // Per GET of the target, in order: the body offset at which that one is cut off.
        QList<qint64> cuts;
        // Per GET, in order (the last one stays): the ETag sent with "Accept-Ranges: bytes".
        // A Range with a matching (or no) If-Range then gets the rest as 206, unless
        // ignoresRanges; the rest comes in one piece.
        QList<QByteArray> etags;
        bool ignoresRanges = false;
        // A faulty server's 206: the rest it sends starts this many bytes after the one asked for.
        qint64 rangeSkew = 0;
        Fields fields;

        static Response ok(const QByteArray &body);
        static Response generated(qint64 size);
        static Response withStatus(int status, const QByteArray &reason,
                                   const QByteArray &body = {});
        qint64 bodySize() const { return generatedSize >= 0 ? generatedSize : body.size(); }
    };

    explicit HttpTestServer(QObject *parent = nullptr);
    ~HttpTestServer() override;

    bool listen(const QHostAddress &address = QHostAddress::LocalHost, quint16 port = 80);
    bool isListening() const { return server.isListening(); }
    // New connections are refused from now on; open ones go on.
    void stopListening() { server.close(); }
    // No new connection, and every open one closed at once.
    void closeAll();
    // The answer to GET and HEAD requests for this target (path and query, as sent).
    void serve(const QByteArray &target, const Response &response);
    // The answer to one method only, ahead of the answer for both.
    void serve(const QByteArray &method, const QByteArray &target, const Response &response);

    const QList<Request> &requests() const { return log; }
    QStringList requestLines() const;
    // Body bytes written to clients over every connection, whether or not they were read.
    qint64 bodyBytesSent() const { return bodyBytes; }
    int openConnections() const { return connections.size(); }
    // Lets every response that waits after a piece go on with its next piece.
    void releasePiece();

    // The bytes of a generated body, from offset on.
    static QByteArray pattern(qint64 offset, qint64 size);

signals:
    void requestReceived();
    void pieceSent();
    void connectionClosed();

private:
    struct Connection;

    void accept();
    void readRequests(Connection *connection);
    void respond(Connection *connection, const Request &request);
    qint64 rangeOffset(const Request &request, Response *response);
    void pump(Connection *connection);
    void finishResponse(Connection *connection);
    void closeConnection(Connection *connection);

    QTcpServer server;
    QHash<QByteArray, Response> responses;
    QList<Request> log;
    QHash<QTcpSocket *, Connection *> connections;
    QHash<QByteArray, int> getsServed;
    int connectionCount = 0;
    qint64 bodyBytes = 0;
};

Q_DECLARE_METATYPE(HttpTestServer::Response)

#endif // HTTPTESTSERVER_H
