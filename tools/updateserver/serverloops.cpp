#include "serverloops.h"

#include "rollouts.h"
#include "serverthread.h"

#include <algorithm>

ServerLoops::ServerLoops(int count, std::shared_ptr<const Catalogue> catalogue,
                         std::shared_ptr<const SigningKey> replyKey, const Server::Limits &limits,
                         Rollouts *rollouts, ServerMetrics *metrics, QObject *parent)
    : QObject(parent)
    // Each loop serves one connection at least.
    , count(std::clamp(count, 1, limits.maximumConnections))
    , publication({catalogue, std::move(replyKey)})
    , limits(limits)
    , rollouts(rollouts)
    , metrics(metrics)
    , bound(limits.maximumConnectionsPerAddress)
{
    rollouts->setCatalogue(std::move(catalogue));
}

ServerLoops::~ServerLoops() = default;

Server::Limits ServerLoops::limitsOf(int loop) const
{
    Server::Limits part = limits;
    part.maximumConnections
        = limits.maximumConnections / count + (loop < limits.maximumConnections % count ? 1 : 0);
    return part;
}

bool ServerLoops::listen(const QHostAddress &address, quint16 port)
{
    mainServer = std::make_unique<Server>(&publication, limitsOf(0), rollouts, metrics, &bound);
    // A wave of checks arrives faster than it is accepted: the kernel holds it meanwhile.
    if (!mainServer->listen(address, port, limits.maximumConnections)) {
        error = mainServer->errorString();
        return false;
    }
    servers.push_back(mainServer.get());
    // The others share the first's socket.
    for (int loop = 1; loop < count; ++loop) {
        auto thread
            = std::make_unique<ServerThread>([this, part = limitsOf(loop)](QString *failure) {
                  auto server
                      = std::make_unique<Server>(&publication, part, rollouts, metrics, &bound);
                  if (server->listenWith(*mainServer))
                      return server;
                  *failure = server->errorString();
                  return std::unique_ptr<Server>();
              });
        Server *server = thread->startServer(&error);
        threads.push_back(std::move(thread));
        if (!server)
            return false;
        servers.push_back(server);
    }
    for (Server *server : servers)
        connect(server, &Server::drained, this, &ServerLoops::loopDrained);
    return true;
}

void ServerLoops::setCatalogue(std::shared_ptr<const Catalogue> published)
{
    // The halts are read for the catalogue before any exchange is answered from it.
    rollouts->setCatalogue(published);
    publication.setCatalogue(std::move(published));
}

void ServerLoops::setReplyKey(std::shared_ptr<const SigningKey> key)
{
    publication.setReplyKey(std::move(key));
}

int ServerLoops::drain()
{
    int exchanges = 0;
    for (Server *server : servers) {
        // Waits for each loop on its own thread: none of them waits for this one.
        int drainedHere = 0;
        QMetaObject::invokeMethod(
            server, [server, &drainedHere] { drainedHere = server->drain(); },
            server == mainServer.get() ? Qt::DirectConnection : Qt::BlockingQueuedConnection);
        exchanges += drainedHere;
    }
    return exchanges;
}

void ServerLoops::loopDrained()
{
    if (++drainedLoops == count)
        emit drained();
}
