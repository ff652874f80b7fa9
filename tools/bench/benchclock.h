#ifndef BENCHCLOCK_H
#define BENCHCLOCK_H

#include <QtGlobal>

namespace BenchClock {

// Seconds on the monotonic clock, comparable between processes.
double now();
// Peak resident memory of this process so far (VmHWM), in KiB; -1 when unknown.
qint64 peakResidentKiB();

} // namespace BenchClock

#endif // BENCHCLOCK_H
