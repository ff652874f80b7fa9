#include "downloaddirectory.h"

#include "freespace.h"
#include "pathbeneath.h"
#include "plainname.h"
#include "translated.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

DownloadDirectory::DownloadDirectory(const QString &path, uid_t owner)
    : path(QDir::cleanPath(path))
    , owner(owner)
{ }

QString DownloadDirectory::choose(const QString &tempDir, const QString &cacheDir)
{
    const QStringList candidates {tempDir + QLatin1String("/tupdates"),
                                  tempDir + QStringLiteral("/tupdates-%1").arg(::geteuid()),
                                  cacheDir + QLatin1String("/vorn/tupdates")};
    qsizetype usable = -1;
    for (qsizetype i = 0; i < candidates.size(); ++i) {
        DownloadDirectory directory(candidates.at(i));
        if (directory.open().isFailure())
            continue;
        if (directory.holdsJournal())
            return candidates.at(i) + QLatin1Char('/');
        if (usable < 0)
            usable = i;
    }
    // In order: one that was not there yet is made, up to the first that was usable already.
    for (qsizetype i = 0; i < candidates.size(); ++i) {
        if (i == usable)
            return candidates.at(i) + QLatin1Char('/');
        DownloadDirectory directory(candidates.at(i));
        directory.create();
        if (!directory.open().isFailure())
            return candidates.at(i) + QLatin1Char('/');
    }
    // None is usable: the first, whose refusal the download reports.
    return candidates.first() + QLatin1Char('/');
}

void DownloadDirectory::create() const
{
    QDir().mkpath(QFileInfo(path).path());
    ::mkdir(QFile::encodeName(path).constData(), 0700);
}

Failure DownloadDirectory::open()
{
    directory = PathBeneath::openDirectory(path);
    struct stat status;
    if (!directory.isValid() || ::fstat(directory.get(), &status) != 0)
        return refuseFor(errno);
    refusal = judge(status);
    return refusal;
}

Failure DownloadDirectory::recheck()
{
    if (!isOpen())
        return refusal ? refusal : open();
    struct stat opened;
    struct stat named;
    if (::fstat(directory.get(), &opened) != 0
        || ::lstat(QFile::encodeName(path).constData(), &named) != 0)
        return refuseFor(errno);
    if (!S_ISDIR(named.st_mode))
        return refuseFor(ENOTDIR);
    // Another directory at the path is judged as open() would judge it; even one fit to use
    // is not the one this run has locked and cleared.
    if (named.st_dev != opened.st_dev || named.st_ino != opened.st_ino) {
        if (const Failure failure = judge(named))
            return failure;
        return refuseFor(ESTALE);
    }
    return judge(opened);
}

Failure DownloadDirectory::refuseFor(int code)
{
    if (code == ELOOP || code == ENOTDIR)
        return refuse(translated("The download directory %1 is a symbolic link or not a "
                                 "directory, so no update is downloaded.")
                          .arg(path));
    return refuse(translated("The download directory %1 cannot be used (%2), so no update is "
                             "downloaded.")
                      .arg(path, qt_error_string(code)));
}

Failure DownloadDirectory::judge(const struct stat &status)
{
    if (status.st_uid != owner)
        return refuse(translated("The download directory %1 belongs to another user, so no update "
                                 "is downloaded.")
                          .arg(path));
    if (status.st_mode & (S_IWGRP | S_IWOTH))
        return refuse(translated("Other users can write to the download directory %1, so no update "
                                 "is downloaded.")
                          .arg(path));
    return Failure();
}

namespace {

const char bodiesName[] = "downloading";
const char lockName[] = "lock";
const char journalFile[] = "journal";
const char unwindName[] = "unwind";

QString linkRefusal(const QString &packageName)
{
    return translated("Refusing to store package %1: a symbolic link stands in its place in the "
                      "download directory.")
        .arg(packageName);
}

} // namespace

bool DownloadDirectory::isReservedName(const QString &name)
{
    return name == QLatin1String(bodiesName) || name == QLatin1String(lockName)
        || name == QLatin1String(journalFile);
}

QString DownloadDirectory::journalName()
{
    return QLatin1String(journalFile);
}

QString DownloadDirectory::workingDirectory(const QString &dir, const QString &componentName)
{
    return dir + QLatin1Char('/') + componentName + QLatin1Char('/');
}

QString DownloadDirectory::unwindDirectory(const QString &dir, const QString &componentName)
{
    return workingDirectory(dir, componentName) + QLatin1Char('/') + QLatin1String(unwindName)
        + QLatin1Char('/');
}

bool DownloadDirectory::namesWorkPlace(const QList<QByteArray> &path,
                                       const QList<QList<QByteArray>> &otherPaths,
                                       const QByteArray &ownName,
                                       const QList<QByteArray> &otherNames)
{
    if (path.isEmpty() || isReservedName(QFile::decodeName(path.first()))
        || otherNames.contains(path.first()))
        return true;
    // Its own working directory may hold it, but not in the directory's place nor among the
    // backups.
    if (path.first() == ownName && (path.size() == 1 || path.at(1) == unwindName))
        return true;
    for (const QList<QByteArray> &other : otherPaths) {
        const qsizetype shorter = qMin(path.size(), other.size());
        if (path.mid(0, shorter) == other.mid(0, shorter))
            return true;
    }
    return false;
}

bool DownloadDirectory::removeWorkingDirectory(const QString &componentName) const
{
    const QByteArray name = QFile::encodeName(componentName);
    if (::unlinkat(directory.get(), name.constData(), 0) == 0 || errno == ENOENT)
        return true;
    const FileDescriptor working
        = PathBeneath::openDirectory(directory.get(), componentName, false);
    return working.isValid() && PathBeneath::removeContents(working.get())
        && ::unlinkat(directory.get(), name.constData(), AT_REMOVEDIR) == 0;
}

bool DownloadDirectory::isUnwindDirectory(const QString &dir, const QString &path)
{
    const QFileInfo unwind(QDir::cleanPath(path));
    const QFileInfo package(unwind.path());
    return unwind.fileName() == QLatin1String(unwindName) && package.path() == QDir::cleanPath(dir)
        && isPlainName(package.fileName()) && !isReservedName(package.fileName());
}

bool DownloadDirectory::holdsJournal() const
{
    struct stat status;
    return ::fstatat(directory.get(), journalFile, &status, AT_SYMLINK_NOFOLLOW) == 0;
}

Failure DownloadDirectory::clear() const
{
    if (holdsJournal())
        return fail(translated("An interrupted update could not be undone completely, so no "
                               "update is downloaded. Start the updater again to retry."));
    if (PathBeneath::removeContents(directory.get(), lockName))
        return Failure();
    const int code = errno;
    return fail(translated("The download directory %1 cannot be emptied (%2), so no update "
                           "is downloaded.")
                    .arg(path, qt_error_string(code)),
                code);
}

Failure DownloadDirectory::hasRoomFor(qint64 bytes) const
{
    const qint64 available = availableBytes(directory.get());
    if (available < 0 || bytes <= available)
        return Failure();
    return fail(translated("The download directory %1 has room for %2 MB, but the updates need "
                           "%3 MB, so no update is downloaded.")
                    .arg(path, megabytesOfRoom(available), megabytesNeeded(bytes)));
}

QByteArray DownloadDirectory::lockFileName()
{
    return lockName;
}

void DownloadDirectory::removeUnverified() const
{
    const FileDescriptor bodies
        = PathBeneath::openDirectory(directory.get(), QLatin1String(bodiesName), false);
    if (bodies.isValid())
        PathBeneath::removeContents(bodies.get());
}

bool DownloadDirectory::removeFiles() const
{
    removedFiles = directory.isValid();
    return removedFiles
        && PathBeneath::removeContents(directory.get(), lockName, PathBeneath::KeepDirectories);
}

void DownloadDirectory::removeLockFile() const
{
    ::unlinkat(directory.get(), lockName, 0);
}

Failure DownloadDirectory::createBodyFile(int index, const QString &packageName,
                                          FileDescriptor *file) const
{
    *file = PathBeneath::createFile(directory.get(), bodyName(index), O_RDWR);
    if (file->isValid())
        return Failure();
    const int code = errno;
    return fail(code == ELOOP ? linkRefusal(packageName) : qt_error_string(code), code);
}

QString DownloadDirectory::bodyName(int index)
{
    return QStringLiteral("%1/%2").arg(QLatin1String(bodiesName)).arg(index);
}

void DownloadDirectory::removeBody(int index) const
{
    const FileDescriptor bodies
        = PathBeneath::openDirectory(directory.get(), QLatin1String(bodiesName), false);
    if (bodies.isValid())
        ::unlinkat(bodies.get(), QByteArray::number(index).constData(), 0);
}

Failure DownloadDirectory::adoptBody(int index, const QString &relativePath,
                                     const QString &packageName) const
{
    // Never over something already there: the download directory was emptied for this run.
    if (PathBeneath::moveBeneath(directory.get(), bodyName(index), relativePath))
        return Failure();
    const int code = errno;
    // EEXIST means the parents were real directories (a link among them fails with ELOOP), so
    // the link check below looks where the move did.
    struct stat status;
    if (code == ELOOP
        || (code == EEXIST
            && ::fstatat(directory.get(),
                         PathBeneath::segmentsOf(relativePath).join('/').constData(), &status,
                         AT_SYMLINK_NOFOLLOW)
                == 0
            && S_ISLNK(status.st_mode)))
        return fail(linkRefusal(packageName), code);
    return fail(storeFailure(packageName, qt_error_string(code)), code);
}

QString DownloadDirectory::storeFailure(const QString &packageName, const QString &reason)
{
    return translated("Package %1 cannot be stored in the download directory (%2).")
        .arg(packageName, reason);
}

// Only a directory that must not be used is closed; one refused operation keeps the run's
// directory open for what follows.
Failure DownloadDirectory::refuse(const QString &text)
{
    directory.reset();
    refusal = fail(text);
    return refusal;
}

Failure DownloadDirectory::fail(const QString &text, int systemError)
{
    return Failure(Failure::Storage, text, systemError);
}
