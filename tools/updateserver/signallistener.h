#ifndef SIGNALLISTENER_H
#define SIGNALLISTENER_H

#include <QObject>
#include <QSocketNotifier>

// Turns SIGHUP, SIGTERM and SIGINT into Qt signals in the event loop: a signal handler may
// do next to nothing, so it only writes the signal's number into a socket pair that the event
// loop watches. One per process.
class SignalListener : public QObject
{
    Q_OBJECT

public:
    explicit SignalListener(QObject *parent = nullptr);
    ~SignalListener() override;

    bool isValid() const { return notifier != nullptr; }

signals:
    // SIGHUP.
    void reloadRequested();
    // SIGTERM or SIGINT.
    void stopRequested();

private:
    void readSignal();

    QSocketNotifier *notifier = nullptr;
};

#endif // SIGNALLISTENER_H
