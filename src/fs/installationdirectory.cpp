#include "installationdirectory.h"

#include "pathbeneath.h"
#include "replacefile.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool InstallationDirectory::open(const QString &path)
{
    root.reset(::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    parents.reset();
    return root.isValid();
}

int InstallationDirectory::parentOf(const QString &relativePath, QByteArray *name, bool create)
{
    if (!root.isValid()) {
        errno = EBADF;
        return -1;
    }
    return parents.parentOf(root.get(), relativePath, name, create, newDirectoryMode,
                            PathBeneath::Synced);
}

InstallationDirectory::Presence InstallationDirectory::presence(const QString &relativePath)
{
    QByteArray name;
    const int directory = parentOf(relativePath, &name, false);
    struct stat status;
    if (directory < 0)
        return errno == ELOOP ? BeyondLink : Absent;
    // Through a link in the file's own place, as a backup reads it: a dangling one is absent.
    return ::fstatat(directory, name.constData(), &status, 0) == 0 ? Present : Absent;
}

bool InstallationDirectory::backUp(const QString &relativePath, int backupDirectory,
                                   const QByteArray &backupName)
{
    QByteArray name;
    const int directory = parentOf(relativePath, &name, false);
    if (directory < 0 || backupDirectory < 0)
        return false;
    // The installed file is never written into, only renamed over or unlinked, so a second
    // name keeps its bytes, once that name is on the disk: a power cut must not leave the
    // change without its backup.
    struct stat status;
    if (::fstatat(directory, name.constData(), &status, AT_SYMLINK_NOFOLLOW) == 0
        && S_ISREG(status.st_mode)
        && ::linkat(directory, name.constData(), backupDirectory, backupName.constData(), 0) == 0)
        return ::fsync(backupDirectory) == 0;

    // Another file system, or a link in the file's place: the bytes it points to are copied.
    // Only a plain file has bytes to keep; a FIFO must not keep the run waiting for a writer.
    const FileDescriptor source(
        ::openat(directory, name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    return source.isValid() && ::fstat(source.get(), &status) == 0 && S_ISREG(status.st_mode)
        && replaceFile(source.get(), backupDirectory, backupName, status.st_mode & 07777);
}

FileDescriptor InstallationDirectory::openPlainFile(const QString &relativePath)
{
    QByteArray name;
    const int directory = parentOf(relativePath, &name, false);
    FileDescriptor file(directory < 0 ? -1
                                      : ::openat(directory, name.constData(),
                                                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat status;
    if (file.isValid() && (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)))
        file.reset();
    return file;
}

bool InstallationDirectory::remove(const QString &relativePath)
{
    QByteArray name;
    const int directory = parentOf(relativePath, &name, false);
    return directory >= 0 && ::unlinkat(directory, name.constData(), 0) == 0
        && ::fsync(directory) == 0;
}

bool InstallationDirectory::replace(const QString &relativePath, const QString &sourcePath,
                                    int mode)
{
    // The sources lie in the download directory: a link put there in place of an unpacked
    // file or a backup must not pass another file off as it.
    const FileDescriptor file(
        ::open(QFile::encodeName(sourcePath).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    return file.isValid() && replace(relativePath, file.get(), mode);
}

bool InstallationDirectory::replace(const QString &relativePath, int source, int mode)
{
    struct stat status;
    if (mode < 0 && ::fstat(source, &status) != 0)
        return false;
    QByteArray name;
    const int directory = parentOf(relativePath, &name, true);
    return directory >= 0
        && replaceFile(source, directory, name, mode < 0 ? status.st_mode & 07777 : mode_t(mode));
}

bool InstallationDirectory::restore(const QString &relativePath, const QString &backupPath)
{
    if (replace(relativePath, backupPath))
        return true;
    if (errno != ENOSPC && errno != EDQUOT)
        return false;
    const int error = errno;
    if (!remove(relativePath)) {
        errno = error;
        return false;
    }
    return replace(relativePath, backupPath);
}

bool InstallationDirectory::makeDirectory(const QString &relativePath)
{
    return root.isValid()
        && PathBeneath::descend(root.get(), PathBeneath::segmentsOf(relativePath), true,
                                newDirectoryMode, PathBeneath::Synced)
               .isValid();
}
