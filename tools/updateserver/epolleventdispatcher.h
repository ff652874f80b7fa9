#ifndef EPOLLEVENTDISPATCHER_H
#define EPOLLEVENTDISPATCHER_H

#include "filedescriptor.h"

#include <QAbstractEventDispatcher>
#include <QAtomicInt>
#include <QHash>

#include <map>

// The server's event loops on epoll, the main thread's and each server thread's. Qt's own
// dispatcher polls every socket on each pass, so that with thousands of connections each pass
// costs a millisecond and more, however few of them have anything to say; epoll costs what the
// ready ones cost. Timers are kept in a plain map: the server has a handful.
class EpollEventDispatcher : public QAbstractEventDispatcher
{
    Q_OBJECT

public:
    EpollEventDispatcher();

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;
    void registerSocketNotifier(QSocketNotifier *notifier) override;
    void unregisterSocketNotifier(QSocketNotifier *notifier) override;
    void registerTimer(int timerId, qint64 interval, Qt::TimerType timerType,
                       QObject *object) override;
    bool unregisterTimer(int timerId) override;
    bool unregisterTimers(QObject *object) override;
    QList<TimerInfo> registeredTimers(QObject *object) const override;
    int remainingTime(int timerId) override;
    void wakeUp() override;
    void interrupt() override;

private:
    struct Notifiers
    {
        QSocketNotifier *read = nullptr;
        QSocketNotifier *write = nullptr;
        QSocketNotifier *exception = nullptr;
        // Whether the descriptor is in the epoll set.
        bool watched = false;
    };
    struct Timer
    {
        qint64 interval; // ms
        Qt::TimerType type;
        QObject *object;
        // In nanoseconds of the steady clock: counted in whole milliseconds, a timer started
        // late in one fired up to a millisecond early.
        qint64 due;
    };

    void watch(int descriptor);
    // Each notifier of the descriptor that the events concern, looked up afresh: the one
    // before may have removed it.
    void activate(int descriptor, quint32 events);
    bool activateTimers();
    // Milliseconds until the next timer is due, rounded up; -1 without timers.
    int timeUntilNextTimer() const;
    // Nanoseconds of the steady clock.
    static qint64 now();

    FileDescriptor poller;
    FileDescriptor wakeUpEvent;
    QAtomicInt wakeUpPending;
    QAtomicInt interrupted;
    QHash<int, Notifiers> notifiers;
    std::map<int, Timer> timers;
};

#endif // EPOLLEVENTDISPATCHER_H
