#ifndef SERVER_H
#define SERVER_H

#include "connection.h"
#include "listener.h"
#include "replysigner.h"
#include "socketcloser.h"
#include "socketwatcher.h"

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QTimer>

#include <memory>
#include <vector>

class AddressBound;
class Publication;
class Rollouts;
class ServerMetrics;

// One event loop's part of the server: accepts clients on a listening socket, its own or shared
// with the other loops, and gives each its own connection; keeps no state between exchanges. At
// most maximumConnections are served at once: beyond that, new clients wait in the listen backlog.
// A client beyond maximumConnectionsPerAddress from one address, or for IPv6 from one /64, is
// closed at once (0: no such bound, for a server whose clients all come through a load balancer),
// and every exchange ends within exchangeTimeoutMs, whatever the client does. Lives on its event
// loop's thread.
class Server : public QObject, private Connection::Owner
{
    Q_OBJECT

public:
    struct Limits
    {
        qsizetype maximumQuerySize = 16 * 1024;
        int maximumComponents = 1000;
        int exchangeTimeoutMs = 5000;
        int maximumConnections = 4096;
        int maximumConnectionsPerAddress = 32;
    };

    // Each exchange is answered from what the publication holds as it starts. The publication,
    // the rollouts, the metrics (null: none) and the bound per address, which counts for
    // maximumConnectionsPerAddress here, outlive the server.
    Server(const Publication *publication, const Limits &limits, Rollouts *rollouts,
           ServerMetrics *metrics, AddressBound *bound, QObject *parent = nullptr);
    ~Server() override;

    // The kernel holds up to backlog clients that wait to be accepted.
    bool listen(const QHostAddress &address, quint16 port, int backlog);
    // Takes clients from the socket that first listens on.
    bool listenWith(const Server &first);
    QString errorString() const { return listener.errorString(); }
    quint16 serverPort() const { return listener.port(); }

    // Stops taking new clients at once and closes the listening socket half a second later,
    // once the handshakes under way have completed; drained() follows once the exchanges under
    // way have ended. Returns how many are under way, those that waited to be accepted among
    // them.
    int drain();

signals:
    void drained();

private:
    void stopListening();
    // Emits drained() once the listener is closed and the last exchange has ended; not within
    // newConnection(), which goes on after an exchange that ends there.
    void endIfDrained();
    void newConnection();
    void connectionEnded(Connection *connection) override;
    bool admitReport(const QHostAddress &peer) override;
    void closeLateConnections();
    void passEnded();

    Listener listener;
    QTimer deadlineSweep;
    const Publication *publication;
    Rollouts *rollouts;
    ServerMetrics *metrics;
    AddressBound *bound;
    ReplySigner signer;
    // Ends a pass once the replies that the signer holds are due.
    QTimer signingHold;
    SocketCloser closer;
    SocketWatcher watcher;
    Limits limits;
    // Each open connection, and the client address (or /64) it counts for.
    QHash<Connection *, QHostAddress> open;
    // The connections ended in this pass of the event loop, deleted once it is over.
    std::vector<std::unique_ptr<Connection>> ended;
    bool draining = false;
    bool accepting = false;
};

#endif // SERVER_H
