#include "epolleventdispatcher.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <ctime>

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

// Events taken from the kernel in one pass; more wait for the next.
constexpr int batch = 256;

constexpr qint64 nanoseconds(qint64 milliseconds)
{
    return milliseconds * 1000000;
}

// Rounded up, so that a timer never fires early.
constexpr qint64 millisecondsUntil(qint64 due, qint64 now)
{
    return due <= now ? 0 : (due - now + 999999) / 1000000;
}

} // namespace

EpollEventDispatcher::EpollEventDispatcher()
    : poller(::epoll_create1(EPOLL_CLOEXEC))
    , wakeUpEvent(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (!poller.isValid() || !wakeUpEvent.isValid())
        qFatal("vorn-update-server: no event loop: %s", qPrintable(qt_error_string(errno)));
    epoll_event event = {};
    event.events = EPOLLIN;
    event.data.fd = wakeUpEvent.get();
    ::epoll_ctl(poller.get(), EPOLL_CTL_ADD, wakeUpEvent.get(), &event);
}

bool EpollEventDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags)
{
    interrupted.storeRelaxed(0);
    emit awake();
    QCoreApplication::sendPostedEvents();

    const bool canWait
        = flags.testFlag(QEventLoop::WaitForMoreEvents) && !interrupted.loadRelaxed();
    if (canWait)
        emit aboutToBlock();
    if (interrupted.loadRelaxed())
        return false;

    epoll_event events[batch];
    int ready = 0;
    do
        ready = ::epoll_wait(poller.get(), events, batch, canWait ? timeUntilNextTimer() : 0);
    while (ready < 0 && errno == EINTR);
    if (canWait)
        emit awake();

    bool activated = false;
    for (int i = 0; i < ready; ++i) {
        if (events[i].data.fd == wakeUpEvent.get()) {
            // Cleared first: a wake-up from now on writes again.
            wakeUpPending.storeRelease(0);
            eventfd_t count;
            ::eventfd_read(wakeUpEvent.get(), &count);
            continue;
        }
        if (!flags.testFlag(QEventLoop::ExcludeSocketNotifiers)) {
            activate(events[i].data.fd, events[i].events);
            activated = true;
        }
    }
    return activateTimers() || activated;
}

void EpollEventDispatcher::registerSocketNotifier(QSocketNotifier *notifier)
{
    Notifiers &registered = notifiers[int(notifier->socket())];
    switch (notifier->type()) {
    case QSocketNotifier::Read:
        registered.read = notifier;
        break;
    case QSocketNotifier::Write:
        registered.write = notifier;
        break;
    case QSocketNotifier::Exception:
        registered.exception = notifier;
        break;
    }
    watch(int(notifier->socket()));
}

void EpollEventDispatcher::unregisterSocketNotifier(QSocketNotifier *notifier)
{
    const auto found = notifiers.find(int(notifier->socket()));
    if (found == notifiers.end())
        return;
    for (QSocketNotifier **slot : {&found->read, &found->write, &found->exception}) {
        if (*slot == notifier)
            *slot = nullptr;
    }
    watch(int(notifier->socket()));
}

void EpollEventDispatcher::registerTimer(int timerId, qint64 interval, Qt::TimerType timerType,
                                         QObject *object)
{
    timers[timerId] = Timer {interval, timerType, object, now() + nanoseconds(interval)};
}

bool EpollEventDispatcher::unregisterTimer(int timerId)
{
    return timers.erase(timerId) > 0;
}

bool EpollEventDispatcher::unregisterTimers(QObject *object)
{
    bool found = false;
    for (auto timer = timers.begin(); timer != timers.end();) {
        if (timer->second.object == object) {
            timer = timers.erase(timer);
            found = true;
        } else {
            ++timer;
        }
    }
    return found;
}

QList<QAbstractEventDispatcher::TimerInfo>
EpollEventDispatcher::registeredTimers(QObject *object) const
{
    QList<TimerInfo> registered;
    for (const auto &[id, timer] : timers) {
        if (timer.object == object)
            registered.append(TimerInfo(id, int(timer.interval), timer.type));
    }
    return registered;
}

int EpollEventDispatcher::remainingTime(int timerId)
{
    const auto timer = timers.find(timerId);
    return timer == timers.end() ? -1 : int(millisecondsUntil(timer->second.due, now()));
}

void EpollEventDispatcher::wakeUp()
{
    // Every posted event wakes the loop; one write stands for all until the loop has woken.
    if (wakeUpPending.testAndSetAcquire(0, 1))
        ::eventfd_write(wakeUpEvent.get(), 1);
}

void EpollEventDispatcher::interrupt()
{
    interrupted.storeRelaxed(1);
    wakeUp();
}

void EpollEventDispatcher::watch(int descriptor)
{
    const auto found = notifiers.find(descriptor);
    if (found == notifiers.end())
        return;
    epoll_event event = {};
    event.data.fd = descriptor;
    if (found->read)
        event.events |= EPOLLIN | EPOLLRDHUP;
    if (found->write)
        event.events |= EPOLLOUT;
    if (found->exception)
        event.events |= EPOLLPRI;
    if (event.events == 0) {
        if (found->watched)
            ::epoll_ctl(poller.get(), EPOLL_CTL_DEL, descriptor, nullptr);
        notifiers.erase(found);
        return;
    }
    // A descriptor closed while watched leaves the set by itself, and its number may come back.
    if (::epoll_ctl(poller.get(), found->watched ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, descriptor,
                    &event)
        != 0)
        ::epoll_ctl(poller.get(), errno == ENOENT ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, descriptor,
                    &event);
    found->watched = true;
}

void EpollEventDispatcher::activate(int descriptor, quint32 events)
{
    // As Qt's own loop does: a hang-up or an error wakes the reader and the writer, who find
    // out what it is.
    const quint32 broken = EPOLLHUP | EPOLLERR;
    const std::pair<QSocketNotifier * Notifiers::*, quint32> kinds[] = {
        {&Notifiers::read, EPOLLIN | EPOLLRDHUP | broken},
        {&Notifiers::write, EPOLLOUT | broken},
        {&Notifiers::exception, EPOLLPRI},
    };
    for (const auto &[kind, wanted] : kinds) {
        if (!(events & wanted))
            continue;
        const auto found = notifiers.constFind(descriptor);
        if (found == notifiers.constEnd())
            return;
        if (QSocketNotifier *notifier = (*found).*kind) {
            QEvent event(QEvent::SockAct);
            QCoreApplication::sendEvent(notifier, &event);
        }
    }
}

bool EpollEventDispatcher::activateTimers()
{
    // Each timer due fires once in a pass; one that a handler stops or restarts is looked up
    // afresh.
    const qint64 current = now();
    QList<int> due;
    for (const auto &[id, timer] : timers) {
        if (timer.due <= current)
            due.append(id);
    }
    for (int id : std::as_const(due)) {
        const auto timer = timers.find(id);
        if (timer == timers.end() || timer->second.due > current)
            continue;
        timer->second.due += nanoseconds(timer->second.interval);
        if (timer->second.due < current)
            timer->second.due = current + nanoseconds(timer->second.interval);
        QTimerEvent event(id);
        QCoreApplication::sendEvent(timer->second.object, &event);
    }
    return !due.isEmpty();
}

int EpollEventDispatcher::timeUntilNextTimer() const
{
    qint64 next = -1;
    const qint64 current = now();
    for (const auto &[id, timer] : timers) {
        const qint64 wait = millisecondsUntil(timer.due, current);
        if (next < 0 || wait < next)
            next = wait;
    }
    return int(qMin<qint64>(next, 24 * 3600 * 1000));
}

qint64 EpollEventDispatcher::now()
{
    timespec time;
    ::clock_gettime(CLOCK_MONOTONIC, &time);
    return qint64(time.tv_sec) * 1000000000 + time.tv_nsec;
}
