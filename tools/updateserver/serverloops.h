#ifndef SERVERLOOPS_H
#define SERVERLOOPS_H

#include "addressbound.h"
#include "publication.h"
#include "server.h"

#include <QHostAddress>
#include <QObject>

#include <memory>
#include <vector>

class Catalogue;
class Rollouts;
class ServerMetrics;
class ServerThread;
class SigningKey;

// The server's event loops: the main thread's and count - 1 threads of their own, each with a
// server, all taking their clients from one listening socket: a loop that the machine gives no
// time leaves its clients to the others. One loop gets only the share of the processor that the
// scheduler gives one thread, however many cores the machine has. The loops share the bound on
// connections per address and the rollouts; the bound on connections at once is split among them.
class ServerLoops : public QObject
{
    Q_OBJECT

public:
    // The rollouts and the metrics (null: none) outlive the loops.
    ServerLoops(int count, std::shared_ptr<const Catalogue> catalogue,
                std::shared_ptr<const SigningKey> replyKey, const Server::Limits &limits,
                Rollouts *rollouts, ServerMetrics *metrics, QObject *parent = nullptr);
    ~ServerLoops() override;

    // Every loop listens, or none does.
    bool listen(const QHostAddress &address, quint16 port);
    QString errorString() const { return error; }
    quint16 serverPort() const { return servers.front()->serverPort(); }

    // Exchanges that start from now on are answered from this catalogue, on every loop; those
    // under way keep the one they started with. The rollouts' halts are read again for it.
    void setCatalogue(std::shared_ptr<const Catalogue> published);
    // The same for the key that signs the replies; null: replies go unsigned.
    void setReplyKey(std::shared_ptr<const SigningKey> key);
    // Drains every loop: returns the exchanges under way on them all, drained() once the last
    // has ended.
    int drain();

signals:
    void drained();

private:
    // This loop's part of the connections at once.
    Server::Limits limitsOf(int loop) const;
    void loopDrained();

    const int count;
    Publication publication;
    Server::Limits limits;
    Rollouts *rollouts;
    ServerMetrics *metrics;
    AddressBound bound;
    // The main thread's first, then each thread's, whose thread owns it.
    std::vector<Server *> servers;
    std::unique_ptr<Server> mainServer;
    std::vector<std::unique_ptr<ServerThread>> threads;
    QString error;
    int drainedLoops = 0;
};

#endif // SERVERLOOPS_H
