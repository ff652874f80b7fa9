#ifndef LISTENER_H
#define LISTENER_H

#include "filedescriptor.h"

#include <QHostAddress>
#include <QObject>
#include <QSocketNotifier>

#include <memory>

// The listening socket. Hands out each client as a plain non-blocking descriptor, and only
// when asked: clients that are not taken wait in the kernel's queue.
class Listener : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Refuses a port that anything else listens on.
    bool listen(const QHostAddress &address, quint16 port, int backlog);
    // Takes its clients from the same socket as first, which listens already: whichever event
    // loop is free takes the next client. With a socket each (SO_REUSEPORT), the kernel handed
    // each loop its own part of the clients, which waited for that loop while the machine gave
    // it no time, however idle the others were. Every loop that waits is woken for a new
    // client, not only one (EPOLLEXCLUSIVE): beside busy programs, the one woken loop often
    // waited for its core while another could have taken the client.
    bool listenWith(const Listener &first);
    QString errorString() const { return error; }
    quint16 port() const;

    // The next waiting client's descriptor and address; -1 when none waits. A client waits
    // once its first bytes have come, or a second after its handshake if none have.
    int accept(QHostAddress *address, quint16 *port);
    // Whether pending() is emitted while clients wait.
    void setWatching(bool watching);
    bool isWatching() const { return notifier && notifier->isEnabled(); }
    // Drops each new client's first packet from now on, so that no handshake begins; those
    // under way complete and wait to be accepted once their first bytes have come, which the
    // updater sends as soon as it is connected. Closing the socket at once would reset the
    // clients whose handshakes complete as it closes. A client whose first packet was dropped
    // sends it again a second later and is refused if the socket is closed by then.
    bool stopHandshakes();
    bool isListening() const { return socket.isValid(); }
    void close();

signals:
    void pending();

private:
    void watch();

    FileDescriptor socket;
    std::unique_ptr<QSocketNotifier> notifier;
    QString error;
};

#endif // LISTENER_H
