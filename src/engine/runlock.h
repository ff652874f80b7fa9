#ifndef RUNLOCK_H
#define RUNLOCK_H

#include "failure.h"
#include "lockfile.h"

#include <QString>

#include <vector>

class DownloadDirectory;
struct Installation;

// One updater run at a time. A run holds an exclusive lock on a file in each place it may
// change, from before it looks at any until it ends; the kernel drops them when the process
// dies, so a killed run never leaves one behind. The user's runs meet at the lock file in the
// private download directory and, where the session has one, in the user's runtime directory:
// either covers the plug-in directory. Runs on an installation meet at a lock file inside its
// directory. Only the updater's own runs can open these files, so no other user can stop one.
class RunLock
{
public:
    // Takes every lock, or none: in downloads, the run's download directory, when it is open.
    // A place that is missing, or that this run may not write, has nothing to protect and is
    // passed over. A failure of kind Lock: another run holds one, its text naming the holder
    // where the system can tell (for the log, not the user); of kind Storage: a lock that
    // cannot be taken, with the text for the user.
    Failure acquire(const Installation &installation, const DownloadDirectory &downloads);
    // Lets the next run begin, as a restart of this one must. The lock file of a download
    // directory that the run has emptied goes first, while it is still held.
    void release();
    ~RunLock() { release(); }

private:
    Failure take(int directory, const QString &where, const QByteArray &name);

    std::vector<LockFile> held;
    // The download directory whose lock is held, while it is.
    const DownloadDirectory *lockedDownloads = nullptr;
};

#endif // RUNLOCK_H
