#ifndef CLOCKTIMER_H
#define CLOCKTIMER_H

#include "clock.h"

#include <QObject>
#include <QTimer>

#include <memory>

// A single-shot timer on a Clock: it fires once the clock has reached the time it was started
// for, never before, whether the time passes or the clock is moved on.
class ClockTimer : public QObject
{
    Q_OBJECT

public:
    // On the system's clock until setClock().
    explicit ClockTimer(QObject *parent = nullptr);

    // Stops the timer, which runs on this clock from its next start.
    void setClock(const std::shared_ptr<const Clock> &clock);
    void setInterval(int milliseconds) { intervalMs = milliseconds; }
    int interval() const { return intervalMs; }
    void start();
    void start(int milliseconds);
    void stop();
    bool isActive() const { return due >= 0; }

signals:
    void timeout();

private:
    void check();

    std::shared_ptr<const Clock> clock;
    QTimer timer;
    int intervalMs = 0;
    // The clock's time at which it fires; -1 while stopped.
    qint64 due = -1;
};

#endif // CLOCKTIMER_H
