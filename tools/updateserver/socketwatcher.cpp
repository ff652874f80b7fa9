#include "socketwatcher.h"

#include <QSocketNotifier>

#include <cerrno>

#include <sys/epoll.h>

namespace {

// Sockets taken from the set in one pass; more wake the event loop again.
constexpr int batch = 256;

} // namespace

SocketWatcher::SocketWatcher(QObject *parent)
    : QObject(parent)
    , poller(::epoll_create1(EPOLL_CLOEXEC))
{
    if (!poller.isValid())
        qFatal("vorn-update-server: no epoll set: %s", qPrintable(qt_error_string(errno)));
    notifier = std::make_unique<QSocketNotifier>(poller.get(), QSocketNotifier::Read);
    connect(notifier.get(), &QSocketNotifier::activated, this, &SocketWatcher::ready);
}

SocketWatcher::~SocketWatcher() = default;

void SocketWatcher::watch(int socket, bool forWriting, Client *client)
{
    clients.insert(socket, client);
    // One-shot: a socket that is ready stays out of the set's reports until it is watched
    // again, so that no call is needed to take it out, and a closed one leaves by itself.
    epoll_event event = {};
    event.events = (forWriting ? EPOLLOUT : EPOLLIN | EPOLLRDHUP) | EPOLLONESHOT;
    event.data.fd = socket;
    if (::epoll_ctl(poller.get(), EPOLL_CTL_ADD, socket, &event) != 0 && errno == EEXIST)
        ::epoll_ctl(poller.get(), EPOLL_CTL_MOD, socket, &event);
}

void SocketWatcher::ready()
{
    epoll_event events[batch];
    const int count = ::epoll_wait(poller.get(), events, batch, 0);
    for (int i = 0; i < count; ++i) {
        // Looked up as each comes: a call back before it may have ended exchanges and accepted
        // clients. A socket forgotten is told nothing; one whose number came back before the
        // old socket left the set may be told once too often, which its client takes as a wait
        // that found nothing.
        if (Client *client = clients.take(events[i].data.fd))
            client->socketReady();
    }
}
