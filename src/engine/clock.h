#ifndef CLOCK_H
#define CLOCK_H

#include <QObject>

// The time that a run's deadlines are measured on: the system's monotonic clock, in
// milliseconds. A test puts in its place a clock that moves only when told, so that a deadline
// passes at an exact moment and nothing waits for it. Safe to read from any thread.
class Clock : public QObject
{
    Q_OBJECT

public:
    Clock() = default;

    // Milliseconds since a fixed moment.
    virtual qint64 now() const;
    // The real milliseconds until this clock reads `time`, which a blocking wait may last: 0
    // once it does, -1 when no wait can tell, as for a clock that moves only when told.
    virtual qint64 remainingTime(qint64 time) const;

signals:
    // The clock moved on by itself being told to, not by time passing.
    void advanced();
};

#endif // CLOCK_H
