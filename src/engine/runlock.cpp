#include "runlock.h"

#include "downloaddirectory.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>

bool RunLock::acquire(const QString &downloadDir, const QStringList &installDirs)
{
    release();
    DownloadDirectory directory(downloadDir);
    bool free = !directory.open() || lock(directory.openLockFile());
    for (const QString &installDir : installDirs) {
        if (!free)
            break;
        free = lock(FileDescriptor(
            ::open(QFile::encodeName(installDir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
    }
    if (!free)
        release();
    return free;
}

bool RunLock::lock(FileDescriptor descriptor)
{
    if (!descriptor.isValid())
        return true;
    if (::flock(descriptor.get(), LOCK_EX | LOCK_NB) != 0)
        return errno != EWOULDBLOCK;
    held.push_back(std::move(descriptor));
    return true;
}
