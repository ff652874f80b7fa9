#include "replyserver.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <memory>

namespace {

const int waitMs = 30000;

} // namespace

ReplyServer::ReplyServer(const QByteArray &reply, int pieceSize)
    : reply(reply)
    , pieceSize(pieceSize)
{ }

ReplyServer::~ReplyServer()
{
    wait();
}

bool ReplyServer::listen()
{
    start();
    started.acquire();
    return listening;
}

void ReplyServer::run()
{
    QTcpServer server;
    listening = server.listen(QHostAddress::LocalHost, 443);
    started.release();
    if (!listening || !server.waitForNewConnection(waitMs))
        return;
    std::unique_ptr<QTcpSocket> socket(server.nextPendingConnection());
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    QByteArray query;
    while (!query.contains("</s>") && socket->waitForReadyRead(waitMs))
        query += socket->readAll();

    const qsizetype step = pieceSize > 0 ? pieceSize : reply.size();
    for (qsizetype at = 0; at < reply.size(); at += step) {
        socket->write(reply.constData() + at, qMin(step, reply.size() - at));
        // Each piece leaves in its own send, not gathered with the next.
        while (socket->bytesToWrite() > 0 && socket->waitForBytesWritten(waitMs)) { }
        ++writeCount;
    }
    socket->disconnectFromHost();
    if (socket->state() != QAbstractSocket::UnconnectedState)
        socket->waitForDisconnected(waitMs);
}
