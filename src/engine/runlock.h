#ifndef RUNLOCK_H
#define RUNLOCK_H

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
    enum Outcome {
        Taken,
        Held, // by another run; errorString() names it where the system can tell
        Failed // a lock that cannot be taken; errorString() holds the text for the user
    };

    // Takes every lock, or none: in downloads, the run's download directory, when it is open.
    // A place that is missing, or that this run may not write, has nothing to protect and is
    // passed over.
    Outcome acquire(const Installation &installation, const DownloadDirectory &downloads);
    QString errorString() const { return error; }
    // Lets the next run begin, as a restart of this one must.
    void release() { held.clear(); }

private:
    // False when the run must not go on.
    bool take(int directory, const QString &where, const QByteArray &name, Outcome *outcome);

    std::vector<LockFile> held;
    QString error;
};

#endif // RUNLOCK_H
