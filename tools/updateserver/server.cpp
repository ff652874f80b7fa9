#include "server.h"

#include "addressbound.h"
#include "connection.h"
#include "publication.h"
#include "replysignature.h"
#include "rollouts.h"

#include <QAbstractEventDispatcher>
#include <QScopedValueRollback>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <iterator>

namespace {

const int handshakeGraceMs = 500;

// The clients that share a bound: an IPv4 address, whether it comes over IPv4 or IPv4-mapped
// IPv6, and an IPv6 /64, whose host or network picks any address of it at will.
QHostAddress boundFor(const QHostAddress &peer)
{
    bool isIPv4 = false;
    const quint32 ipv4 = peer.toIPv4Address(&isIPv4);
    if (isIPv4)
        return peer.protocol() == QAbstractSocket::IPv4Protocol ? peer : QHostAddress(ipv4);
    Q_IPV6ADDR prefix = peer.toIPv6Address();
    std::fill(std::begin(prefix.c) + 8, std::end(prefix.c), 0);
    return QHostAddress(prefix);
}

} // namespace

Server::Server(const Publication *publication, const Limits &limits, Rollouts *rollouts,
               ServerMetrics *metrics, AddressBound *bound, QObject *parent)
    : QObject(parent)
    , publication(publication)
    , rollouts(rollouts)
    , metrics(metrics)
    , bound(bound)
    , signer(metrics)
    , limits(limits)
{
    connect(&listener, &Listener::pending, this, &Server::newConnection);
    // A late connection is closed within a tenth of the time-out after its deadline.
    deadlineSweep.setInterval(qBound(10, limits.exchangeTimeoutMs / 10, 250));
    connect(&deadlineSweep, &QTimer::timeout, this, &Server::closeLateConnections);
    deadlineSweep.start();
    // The replies that wait are signed together (see ReplySigner), and the pass's ended
    // connections closed and deleted, once a pass of the event loop is over.
    connect(QAbstractEventDispatcher::instance(thread()), &QAbstractEventDispatcher::aboutToBlock,
            this, &Server::passEnded);
    signingHold.setSingleShot(true);
    signingHold.setTimerType(Qt::PreciseTimer);
    connect(&signingHold, &QTimer::timeout, this, &Server::passEnded);
}

Server::~Server()
{
    qDeleteAll(open.keyBegin(), open.keyEnd());
}

bool Server::listen(const QHostAddress &address, quint16 port, int backlog)
{
    return listener.listen(address, port, backlog);
}

bool Server::listenWith(const Server &first)
{
    return listener.listenWith(first.listener);
}

int Server::drain()
{
    if (draining)
        return int(open.size());
    draining = true;
    // Clients accepted already or waiting in the kernel's queue are served, whatever the bound:
    // closing the socket would reset them.
    newConnection();
    // The grace is long enough for a handshake under way to complete over a slow link, and
    // shorter than the second after which a client whose first packet was dropped sends it
    // again. Without it the socket closes at once, though from the event loop, so that the
    // caller has said what it does before it is done.
    QTimer::singleShot(listener.stopHandshakes() ? handshakeGraceMs : 0, this,
                       &Server::stopListening);
    return int(open.size());
}

void Server::stopListening()
{
    newConnection();
    // A load balancer sends the next client to another instance once this one refuses.
    listener.close();
    endIfDrained();
}

void Server::endIfDrained()
{
    if (!listener.isListening() && open.isEmpty() && !accepting)
        emit drained();
}

void Server::newConnection()
{
    // An exchange can end as it starts: the loop goes on instead of a nested one.
    if (accepting)
        return;
    const QScopedValueRollback<bool> inLoop(accepting, true);
    // Beyond the bound, clients wait in the kernel's queue.
    bool outOfDescriptors = false;
    // A pass takes at most what one signature serves: the replies of a pass leave at its end,
    // so a pass that took the whole queue of a server fallen behind held every reply in it
    // until the last was made. The listener, still ready, starts the next pass. A draining
    // server takes the whole queue, which closing the socket would reset.
    for (int taken = 0; draining
         || (taken < ReplySignature::maximumBatch && open.size() < limits.maximumConnections);
         ++taken) {
        QHostAddress peer;
        quint16 port = 0;
        const int descriptor = listener.accept(&peer, &port);
        if (descriptor < 0) {
            outOfDescriptors = errno == EMFILE || errno == ENFILE;
            break;
        }
        const QHostAddress address = boundFor(peer);
        if (!bound->admit(address)) {
            Connection::log(Connection::peerOf(peer, port), 0,
                            address.protocol() == QAbstractSocket::IPv6Protocol
                                ? QStringLiteral("too many connections from this address's /64, "
                                                 "closed")
                                : QStringLiteral("too many connections from this address, closed"));
            closer.reset(FileDescriptor(descriptor));
            continue;
        }
        Publication::Current published = publication->current();
        auto *connection
            = new Connection(descriptor, peer, port, std::move(published.catalogue),
                             std::move(published.replyKey), &signer, &closer, &watcher, rollouts,
                             metrics, limits.maximumQuerySize, limits.maximumComponents, this);
        open.insert(connection, address);
        connection->start();
    }
    // Out of descriptors, the waiting client would wake the loop again at once: the deadline
    // sweep tries again.
    listener.setWatching(!outOfDescriptors
                         && (draining || open.size() < limits.maximumConnections));
}

void Server::connectionEnded(Connection *connection)
{
    bound->release(open.take(connection));
    ended.emplace_back(connection);
    if (draining) {
        endIfDrained();
        return;
    }
    // Clients waiting while the listener is watched wake the loop by themselves.
    if (!listener.isWatching())
        newConnection();
}

bool Server::admitReport(const QHostAddress &peer)
{
    return rollouts->admitReport(boundFor(peer), std::time(nullptr));
}

void Server::passEnded()
{
    const std::chrono::microseconds held = signer.signWaiting();
    if (held.count() > 0 && !signingHold.isActive())
        signingHold.start(std::chrono::ceil<std::chrono::milliseconds>(held));
    closer.closeWaiting();
    // No connection is called back after the signatures.
    ended.clear();
}

void Server::closeLateConnections()
{
    // The late ones apart: a connection closed here leaves the set, and a starved server has
    // thousands open, which a copy of them all costs more than asking each.
    QList<Connection *> late;
    for (auto connection = open.keyBegin(); connection != open.keyEnd(); ++connection) {
        if ((*connection)->isLate(limits.exchangeTimeoutMs))
            late.append(*connection);
    }
    for (Connection *connection : std::as_const(late))
        connection->closeIfLate(limits.exchangeTimeoutMs);
    if (!draining)
        newConnection();
}
