#include "server.h"

#include "connection.h"

#include <QTcpSocket>

Server::Server(const Catalogue &catalogue, qsizetype maximumQuerySize, int idleTimeoutMs,
               QObject *parent)
    : QObject(parent)
    , catalogue(catalogue)
    , maximumQuerySize(maximumQuerySize)
    , idleTimeoutMs(idleTimeoutMs)
{
    connect(&tcpServer, &QTcpServer::newConnection, this, &Server::newConnection);
}

bool Server::listen(const QHostAddress &address, quint16 port)
{
    return tcpServer.listen(address, port);
}

void Server::newConnection()
{
    while (QTcpSocket *socket = tcpServer.nextPendingConnection())
        new Connection(socket, catalogue, maximumQuerySize, idleTimeoutMs, this);
}
