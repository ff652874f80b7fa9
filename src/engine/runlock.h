#ifndef RUNLOCK_H
#define RUNLOCK_H

#include "filedescriptor.h"

#include <QString>
#include <QStringList>

#include <vector>

// One updater run at a time. A run holds an exclusive lock on a file in its download directory
// and on each installation directory it may change, from before it looks at either until it
// ends; the kernel drops them when the process dies, so a killed run never leaves one behind.
// Two runs of one user share the download directory; two users may share an installation.
class RunLock
{
public:
    // Takes every lock, or none: false when another process holds one of them. A directory
    // that is missing or cannot be used has nothing to protect and is passed over.
    bool acquire(const QString &downloadDir, const QStringList &installDirs);
    // Lets the next run begin, as a restart of this one must.
    void release() { held.clear(); }

private:
    bool lock(FileDescriptor descriptor);

    std::vector<FileDescriptor> held;
};

#endif // RUNLOCK_H
