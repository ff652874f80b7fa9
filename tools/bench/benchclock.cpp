#include "benchclock.h"

#include <QByteArray>
#include <QFile>
#include <QList>

#include <time.h>

namespace BenchClock {

double now()
{
    timespec stamp;
    clock_gettime(CLOCK_MONOTONIC, &stamp);
    return double(stamp.tv_sec) + double(stamp.tv_nsec) / 1e9;
}

qint64 peakResidentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly | QIODevice::Text))
        return -1;
    // Files of /proc report a size of 0: read to the end rather than up to a size.
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

} // namespace BenchClock
