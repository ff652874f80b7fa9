#include "clocktimer.h"

ClockTimer::ClockTimer(QObject *parent)
    : QObject(parent)
{
    timer.setSingleShot(true);
    // A coarse timer may wake early, which would only cost a second wake-up.
    timer.setTimerType(Qt::PreciseTimer);
    connect(&timer, &QTimer::timeout, this, &ClockTimer::check);
    setClock(std::make_shared<Clock>());
}

void ClockTimer::setClock(const std::shared_ptr<const Clock> &newClock)
{
    stop();
    if (clock)
        disconnect(clock.get(), nullptr, this, nullptr);
    clock = newClock;
    connect(clock.get(), &Clock::advanced, this, &ClockTimer::check);
}

void ClockTimer::start()
{
    due = clock->now() + intervalMs;
    // Even when due at once it fires from the event loop, as a QTimer does.
    timer.start(int(qMax<qint64>(0, clock->remainingTime(due))));
}

void ClockTimer::start(int milliseconds)
{
    intervalMs = milliseconds;
    start();
}

void ClockTimer::stop()
{
    due = -1;
    timer.stop();
}

void ClockTimer::check()
{
    if (due < 0)
        return;
    const qint64 remaining = clock->remainingTime(due);
    if (remaining > 0) {
        timer.start(int(remaining));
        return;
    }
    if (remaining < 0)
        return;
    due = -1;
    emit timeout();
}
