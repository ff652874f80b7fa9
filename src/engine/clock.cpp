#include "clock.h"

#include <QDeadlineTimer>

qint64 Clock::now() const
{
    return QDeadlineTimer::current().deadline();
}

qint64 Clock::remainingTime(qint64 time) const
{
    return qMax<qint64>(0, time - now());
}
