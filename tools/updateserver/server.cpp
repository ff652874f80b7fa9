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
    // A late connection is closed within a tenth of the time-out after its deadline.
    deadlineSweep.setInterval(qBound(10, limits.exchangeTimeoutMs / 10, 250));
    connect(&deadlineSweep, &QTimer::timeout, this, &Server::closeLateConnections);
    deadlineSweep.start();
}

bool Server::listen(const QHostAddress &address, quint16 port)
{
    return tcpServer.listen(address, port);
}

void Server::setCatalogue(std::shared_ptr<const Catalogue> published)
{
    catalogue = std::move(published);
}

void Server::setReplyKey(std::shared_ptr<const SigningKey> key)
{
    replyKey = std::move(key);
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
        QTcpSocket *socket = tcpServer.nextPendingConnection();
        // One client, whether it comes over IPv4 or as an IPv4-mapped IPv6 address.
        bool isIPv4 = false;
        const quint32 ipv4 = socket->peerAddress().toIPv4Address(&isIPv4);
        const QHostAddress address = isIPv4 ? QHostAddress(ipv4) : socket->peerAddress();
        if (!admit(socket, address))
            continue;
        auto *connection = new Connection(socket, catalogue, replyKey, &signer,
                                          limits.maximumQuerySize, limits.maximumComponents, this);
        ++connections;
        connect(connection, &QObject::destroyed, this,
                [this, address] { connectionEnded(address); });
    }
    if (connections >= limits.maximumConnections && !draining)
        tcpServer.pauseAccepting();
}

bool Server::admit(QTcpSocket *socket, const QHostAddress &address)
{
    int &count = connectionsFrom[address];
    if (limits.maximumConnectionsPerAddress == 0 || count < limits.maximumConnectionsPerAddress) {
        ++count;
        return true;
    }
    Connection::log(Connection::peerOf(*socket), 0,
                    QStringLiteral("too many connections from this address, closed"));
    socket->abort();
    socket->deleteLater();
    return false;
}

void Server::connectionEnded(const QHostAddress &address)
{
    --connections;
    const auto from = connectionsFrom.find(address);
    if (from != connectionsFrom.end() && --from.value() == 0)
        connectionsFrom.erase(from);
    if (draining) {
        if (connections == 0)
            emit drained();
        return;
    }
    newConnection();
    if (connections < limits.maximumConnections)
        tcpServer.resumeAccepting();
}

void Server::closeLateConnections()
{
    for (Connection *connection : findChildren<Connection *>(Qt::FindDirectChildrenOnly))
        connection->closeIfLate(limits.exchangeTimeoutMs);
}
