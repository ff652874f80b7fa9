#include "server.h"

#include "connection.h"

#include <QTcpSocket>

Server::Server(std::shared_ptr<const Catalogue> catalogue, const Limits &limits, QObject *parent)
    : QObject(parent)
    , catalogue(std::move(catalogue))
    , limits(limits)
{
    // A wave of checks arrives faster than it is accepted: the kernel holds it meanwhile.
    tcpServer.setListenBacklogSize(limits.maximumConnections);
    connect(&tcpServer, &QTcpServer::newConnection, this, &Server::newConnection);
    // An idle connection is closed within a quarter of the time-out after it.
    idleSweep.setInterval(qBound(1, limits.idleTimeoutMs / 4, 1000));
    connect(&idleSweep, &QTimer::timeout, this, &Server::closeIdleConnections);
    idleSweep.start();
}

bool Server::listen(const QHostAddress &address, quint16 port)
{
    return tcpServer.listen(address, port);
}

void Server::setCatalogue(std::shared_ptr<const Catalogue> published)
{
    catalogue = std::move(published);
}

void Server::drain()
{
    draining = true;
    // Clients accepted already or waiting in the kernel's queue are served, whatever the bound:
    // closing the socket would reset them. Each wait takes them through newConnection().
    do
        newConnection();
    while (tcpServer.waitForNewConnection(0));
    // A load balancer sends the next client to another instance once this one refuses.
    tcpServer.close();
    // From the event loop, so that the caller has said what it does before it is done.
    if (connections == 0)
        QMetaObject::invokeMethod(this, &Server::drained, Qt::QueuedConnection);
}

void Server::newConnection()
{
    // Beyond the bound, clients wait in the queue, theirs as the kernel's.
    while ((draining || connections < limits.maximumConnections)
           && tcpServer.hasPendingConnections()) {
        auto *connection = new Connection(tcpServer.nextPendingConnection(), catalogue,
                                          limits.maximumQuerySize, this);
        ++connections;
        connect(connection, &QObject::destroyed, this, &Server::connectionEnded);
    }
    if (connections >= limits.maximumConnections && !draining)
        tcpServer.pauseAccepting();
}

void Server::connectionEnded()
{
    --connections;
    if (draining) {
        if (connections == 0)
            emit drained();
        return;
    }
    newConnection();
    if (connections < limits.maximumConnections)
        tcpServer.resumeAccepting();
}

void Server::closeIdleConnections()
{
    for (Connection *connection : findChildren<Connection *>(Qt::FindDirectChildrenOnly))
        connection->closeIfIdle(limits.idleTimeoutMs);
}
