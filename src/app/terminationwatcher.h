#ifndef TERMINATIONWATCHER_H
#define TERMINATIONWATCHER_H

#include "filedescriptor.h"

#include <QObject>
#include <QSocketNotifier>

#include <memory>

// Turns SIGTERM, SIGHUP and SIGINT (a logout, a closed terminal, Ctrl-C) into a quit of the
// event loop, so that the updater ends as when its window is closed: a download in progress
// is cancelled and its unverified bytes removed. An installation run is not interrupted: it
// ends first, since the loop only runs between its steps.
class TerminationWatcher : public QObject
{
    Q_OBJECT

public:
    // Catches the signals from the start of the process, before any object exists: a signal
    // that comes that early is kept for the watcher, instead of ending the process at once.
    static void catchSignals();

    explicit TerminationWatcher(QObject *parent = nullptr);
    ~TerminationWatcher() override;

    // A signal came before the event loop ran: the caller ends instead of starting it.
    bool hasReceived() const;

private:
    void signalled();

    std::unique_ptr<QSocketNotifier> notifier;
    bool received = false;
};

#endif // TERMINATIONWATCHER_H
