#include "runlock.h"

#include "downloaddirectory.h"
#include "installation.h"
#include "pathbeneath.h"
#include "translated.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// In the runtime and installation directories.
const char lockFileName[] = ".vorn-updater.lock";

// The runtime directory, where the session gives one that is this user's alone.
FileDescriptor privateRuntimeDirectory(const QString &path)
{
    if (!QDir::isAbsolutePath(path))
        return FileDescriptor();
    FileDescriptor directory = PathBeneath::openDirectory(path);
    struct stat status;
    if (!directory.isValid() || ::fstat(directory.get(), &status) != 0
        || status.st_uid != ::geteuid() || (status.st_mode & 077) != 0)
        return FileDescriptor();
    return directory;
}

} // namespace

Failure RunLock::acquire(const Installation &installation, const DownloadDirectory &downloads)
{
    release();
    if (downloads.isOpen()) {
        if (Failure failure = take(downloads.descriptor(), installation.downloadDir,
                                   DownloadDirectory::lockFileName()))
            return failure;
        lockedDownloads = &downloads;
    }
    const FileDescriptor runtime = privateRuntimeDirectory(installation.runtimeDir);
    if (runtime.isValid()) {
        if (Failure failure = take(runtime.get(), installation.runtimeDir, lockFileName))
            return failure;
    }
    if (!installation.root.isNull()) {
        const FileDescriptor root = PathBeneath::openDirectory(installation.root);
        if (root.isValid()) {
            if (Failure failure = take(root.get(), installation.root, lockFileName))
                return failure;
        }
    }
    return Failure();
}

void RunLock::release()
{
    if (lockedDownloads && lockedDownloads->hasRemovedFiles())
        lockedDownloads->removeLockFile();
    lockedDownloads = nullptr;
    held.clear();
}

Failure RunLock::take(int directory, const QString &where, const QByteArray &name)
{
    LockFile lock;
    const LockFile::Outcome taken = lock.take(directory, name);
    const int reason = errno;
    const QString path = QDir(where).filePath(QFile::decodeName(name));
    Failure failure;
    switch (taken) {
    case LockFile::Taken:
        held.push_back(std::move(lock));
        return failure;
    case LockFile::NotWritable:
        return failure;
    case LockFile::Held:
        failure
            = Failure(Failure::Lock,
                      lock.holder() > 0
                          ? QStringLiteral("%1 is held by process %2").arg(path).arg(lock.holder())
                          : QStringLiteral("%1 is held by another process").arg(path));
        break;
    case LockFile::NotPlainFile:
    case LockFile::Failed: {
        const bool plain = taken == LockFile::Failed;
        failure = Failure(
            Failure::Storage,
            translated("The updater cannot lock %1 (%2), so nothing is updated.")
                .arg(path, plain ? qt_error_string(reason) : translated("it is not a plain file")),
            plain ? reason : 0);
        break;
    }
    }
    release();
    return failure;
}
