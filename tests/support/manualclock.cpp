#include "manualclock.h"

void ManualClock::advance(qint64 milliseconds)
{
    time.fetchAndAddOrdered(milliseconds);
    emit advanced();
}
