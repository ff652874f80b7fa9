#ifndef SOCKETWATCHER_H
#define SOCKETWATCHER_H

#include "filedescriptor.h"

#include <QHash>
#include <QObject>

#include <memory>

class QSocketNotifier;

// Waits for the clients' sockets in an epoll set of its own, which the event loop watches as
// one descriptor. A notifier object for each client that waits cost a starved server more than
// the rest of its exchange in user time, and its removal took a system call of its own.
class SocketWatcher : public QObject
{
    Q_OBJECT

public:
    class Client
    {
    public:
        // Once, when the socket can be read or written as asked; called back only once more
        // after the next watch().
        virtual void socketReady() = 0;

    protected:
        ~Client() = default;
    };

    explicit SocketWatcher(QObject *parent = nullptr);
    ~SocketWatcher() override;

    // Calls the client back once the socket can be read (or written).
    void watch(int socket, bool forWriting, Client *client);
    // No call back from now on: the socket is about to be closed. Its place in the set goes
    // with its close.
    void forget(int socket) { clients.remove(socket); }

private:
    void ready();

    FileDescriptor poller;
    std::unique_ptr<QSocketNotifier> notifier;
    QHash<int, Client *> clients;
};

#endif // SOCKETWATCHER_H
