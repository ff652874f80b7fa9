#include "httptestserver.h"

#include <QAtomicInt>
#include <QTcpSocket>

namespace {

// Keeps what waits in the socket small, so that a body of any size streams.
const qint64 blockSize = 64 * 1024;
const qint64 writeAhead = 256 * 1024;

QAtomicInt requestOrder;

} // namespace

struct HttpTestServer::Connection
{
    QTcpSocket *socket = nullptr;
    int serial = 0;
    QByteArray input;
    bool sending = false;
    bool held = false;
    Response response;
    qint64 sent = 0;
    int piece = 0;
    qint64 pieceEnd = -1; // -1: no more pauses
    bool closeWhenDone = false;
};

QByteArray HttpTestServer::Request::field(const QByteArray &name) const
{
    for (const auto &pair : fields) {
        if (pair.first.compare(name, Qt::CaseInsensitive) == 0)
            return pair.second;
    }
    return {};
}

bool HttpTestServer::Request::hasField(const QByteArray &name) const
{
    for (const auto &pair : fields) {
        if (pair.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QString HttpTestServer::Request::line() const
{
    return QString::fromLatin1(method + ' ' + target);
}

HttpTestServer::Response HttpTestServer::Response::ok(const QByteArray &body)
{
    Response response;
    response.body = body;
    return response;
}

HttpTestServer::Response HttpTestServer::Response::generated(qint64 size)
{
    Response response;
    response.generatedSize = size;
    return response;
}

HttpTestServer::Response HttpTestServer::Response::withStatus(int status, const QByteArray &reason,
                                                              const QByteArray &body)
{
    Response response;
    response.status = status;
    response.reason = reason;
    response.body = body;
    return response;
}

HttpTestServer::HttpTestServer(QObject *parent)
    : QObject(parent)
{
    connect(&server, &QTcpServer::newConnection, this, &HttpTestServer::accept);
}

HttpTestServer::~HttpTestServer()
{
    closeAll();
}

bool HttpTestServer::listen(const QHostAddress &address, quint16 port)
{
    return server.listen(address, port);
}

void HttpTestServer::serve(const QByteArray &target, const Response &response)
{
    responses.insert(target, response);
}

void HttpTestServer::serve(const QByteArray &method, const QByteArray &target,
                           const Response &response)
{
    responses.insert(method + ' ' + target, response);
}

QStringList HttpTestServer::requestLines() const
{
    QStringList lines;
    for (const Request &request : log)
        lines.append(request.line());
    return lines;
}

void HttpTestServer::closeAll()
{
    server.close();
    const auto open = connections;
    connections.clear();
    for (Connection *connection : open) {
        connection->socket->disconnect(this);
        connection->socket->abort();
        connection->socket->deleteLater();
        delete connection;
    }
}

void HttpTestServer::releasePiece()
{
    const auto open = connections.values();
    for (Connection *connection : open) {
        if (connection->held) {
            connection->held = false;
            pump(connection); // may end the connection: not used after this
        }
    }
}

QByteArray HttpTestServer::pattern(qint64 offset, qint64 size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    char *out = bytes.data();
    for (qint64 i = 0; i < size; ++i) {
        const quint64 position = quint64(offset + i);
        // Every byte value occurs, and no short period repeats.
        out[i] = char(((position * 2654435761u) >> 11) ^ (position >> 17));
    }
    return bytes;
}

void HttpTestServer::accept()
{
    while (QTcpSocket *socket = server.nextPendingConnection()) {
        auto *connection = new Connection;
        connection->socket = socket;
        connection->serial = ++connectionCount;
        connections.insert(socket, connection);
        connect(socket, &QTcpSocket::readyRead, this, [this, connection] {
            connection->input += connection->socket->readAll();
            readRequests(connection);
        });
        connect(socket, &QTcpSocket::bytesWritten, this, [this, connection] {
            if (connection->sending && !connection->held)
                pump(connection);
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            delete connections.take(socket);
            socket->deleteLater();
            emit connectionClosed();
        });
    }
}

void HttpTestServer::readRequests(Connection *connection)
{
    if (connection->sending)
        return;
    const qsizetype end = connection->input.indexOf("\r\n\r\n");
    if (end < 0)
        return;
    const QList<QByteArray> lines = connection->input.left(end).split('\n');
    connection->input.remove(0, end + 4);

    Request request;
    const QList<QByteArray> words = lines.value(0).trimmed().split(' ');
    request.method = words.value(0);
    request.target = words.value(1);
    request.version = words.value(2);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon > 0)
            request.fields.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
    }
    request.localAddress = connection->socket->localAddress();
    request.connection = connection->serial;
    request.order = requestOrder.fetchAndAddRelaxed(1) + 1;
    log.append(request);
    emit requestReceived();
    respond(connection, request);
}

void HttpTestServer::respond(Connection *connection, const Request &request)
{
    Response response = responses.value(
        request.method + ' ' + request.target,
        responses.value(request.target, Response::withStatus(404, "Not Found", "no such package")));
    const bool head = request.method == "HEAD";
    const bool closeDelimited = !response.announceLength && !response.chunked;
    const qint64 offset = head ? 0 : rangeOffset(request, &response);

    QByteArray header
        = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + response.reason + "\r\n";
    if (response.chunked)
        header += "Transfer-Encoding: chunked\r\n";
    else if (response.announceLength)
        header += "Content-Length: " + QByteArray::number(response.bodySize() - offset) + "\r\n";
    if (closeDelimited && !head)
        header += "Connection: close\r\n";
    for (const auto &field : response.fields)
        header += field.first + ": " + field.second + "\r\n";
    header += "\r\n";
    connection->socket->write(header);

    connection->response = response;
    connection->sending = true;
    connection->held = false;
    connection->sent = offset;
    connection->piece = 0;
    connection->pieceEnd
        = response.stallEvery > 0 ? offset + response.stallEvery : response.pieces.value(0, -1);
    // As real servers do: a client that asks for it, or speaks HTTP/1.0, gets the close.
    connection->closeWhenDone = (closeDelimited && !head)
        || request.field("Connection").toLower() == "close"
        || (request.version == "HTTP/1.0" && request.field("Connection").toLower() != "keep-alive");
    if (head)
        finishResponse(connection);
    else
        pump(connection);
}

// Applies the GET's place in the cut and ETag scripts; the offset its body starts at.
qint64 HttpTestServer::rangeOffset(const Request &request, Response *response)
{
    const int served = getsServed[request.target]++;
    if (served < response->cuts.size())
        response->dropAfter = response->cuts.at(served);
    if (response->etags.isEmpty())
        return 0;
    const QByteArray etag = response->etags.value(served, response->etags.constLast());
    response->fields.append(qMakePair(QByteArray("Accept-Ranges"), QByteArray("bytes")));
    response->fields.append(qMakePair(QByteArray("ETag"), etag));
    const QByteArray range = request.field("Range");
    const bool current = !request.hasField("If-Range") || request.field("If-Range") == etag;
    if (response->ignoresRanges || !range.startsWith("bytes=") || !range.endsWith('-') || !current)
        return 0;
    const qint64 offset = range.mid(6, range.size() - 7).toLongLong() + response->rangeSkew;
    // The rest of a body runs to its end without pauses.
    response->pieces.clear();
    response->status = 206;
    response->reason = "Partial Content";
    const QByteArray contentRange = "bytes " + QByteArray::number(offset) + '-'
        + QByteArray::number(response->bodySize() - 1) + '/'
        + QByteArray::number(response->bodySize());
    response->fields.append(qMakePair(QByteArray("Content-Range"), contentRange));
    return offset;
}

void HttpTestServer::pump(Connection *connection)
{
    const Response &response = connection->response;
    const qint64 size = response.bodySize();
    while (connection->sending && !connection->held) {
        if (response.dropAfter >= 0 && connection->sent >= response.dropAfter) {
            closeConnection(connection);
            return;
        }
        if (connection->sent >= size) {
            finishResponse(connection);
            return;
        }
        if (connection->socket->bytesToWrite() >= writeAhead)
            return; // goes on when the socket has written
        qint64 limit = size;
        if (connection->pieceEnd >= 0)
            limit = qMin(limit, connection->pieceEnd);
        if (response.dropAfter >= 0)
            limit = qMin(limit, response.dropAfter);
        const qint64 count = qMin(limit - connection->sent, blockSize);
        if (count > 0) {
            QByteArray data = response.generatedSize >= 0
                ? pattern(connection->sent, count)
                : response.body.mid(connection->sent, count);
            if (response.chunked)
                data = QByteArray::number(count, 16) + "\r\n" + data + "\r\n";
            connection->socket->write(data);
            connection->sent += count;
            bodyBytes += count;
        }
        if (connection->pieceEnd >= 0 && connection->sent == connection->pieceEnd
            && connection->sent < size) {
            connection->held = true;
            ++connection->piece;
            const qint64 next = response.pieces.value(connection->piece, -1);
            connection->pieceEnd = next >= 0 ? connection->pieceEnd + next : -1;
            // Flushing may report written bytes at once, which must find the piece held.
            connection->socket->flush();
            emit pieceSent();
            return;
        }
    }
}

void HttpTestServer::finishResponse(Connection *connection)
{
    if (connection->response.chunked)
        connection->socket->write("0\r\n\r\n");
    connection->sending = false;
    if (connection->closeWhenDone) {
        closeConnection(connection);
        return;
    }
    readRequests(connection);
}

// The connection may be gone when this returns.
void HttpTestServer::closeConnection(Connection *connection)
{
    connection->sending = false;
    connection->socket->disconnectFromHost();
}
