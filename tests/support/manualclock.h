#ifndef MANUALCLOCK_H
#define MANUALCLOCK_H

#include "clock.h"

#include <QAtomicInteger>

// A clock that stands still until the test moves it on, from any thread: a deadline on it
// passes at the very millisecond the test chooses, however long the machine takes.
class ManualClock : public Clock
{
    Q_OBJECT

public:
    qint64 now() const override { return time.loadAcquire(); }
    qint64 remainingTime(qint64 until) const override { return now() >= until ? 0 : -1; }
    void advance(qint64 milliseconds);

private:
    QAtomicInteger<qint64> time = 0;
};

#endif // MANUALCLOCK_H
