#include "downloaddirectory.h"

#include "pathbeneath.h"
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

void DownloadDirectory::create() const
{
    QDir().mkpath(QFileInfo(path).path());
    ::mkdir(QFile::encodeName(path).constData(), 0700);
}

bool DownloadDirectory::open()
{
    directory = PathBeneath::openDirectory(path);
    if (!directory.isValid()) {
        const int code = errno;
        if (code == ELOOP || code == ENOTDIR)
            return fail(translated("The download directory %1 is a symbolic link or not a "
                                   "directory, so no update is downloaded.")
                            .arg(path));
        return fail(translated("The download directory %1 cannot be used (%2), so no update is "
                               "downloaded.")
                        .arg(path, qt_error_string(code)));
    }
    struct stat status;
    if (::fstat(directory.get(), &status) != 0)
        return fail(translated("The download directory %1 cannot be used (%2), so no update is "
                               "downloaded.")
                        .arg(path, qt_error_string(errno)));
    if (status.st_uid != owner)
        return fail(translated("The download directory %1 belongs to another user, so no update "
                               "is downloaded.")
                        .arg(path));
    if (status.st_mode & (S_IWGRP | S_IWOTH))
        return fail(translated("Other users can write to the download directory %1, so no update "
                               "is downloaded.")
                        .arg(path));
    error.clear();
    return true;
}

FileDescriptor DownloadDirectory::createPackageFile(const QString &relativePath,
                                                    const QString &packageName)
{
    FileDescriptor file = PathBeneath::createFile(directory.get(), relativePath, O_RDWR);
    if (file.isValid())
        return file;
    if (errno == ELOOP)
        fail(translated("Refusing to store package %1: a symbolic link stands in its place in "
                        "the download directory.")
                 .arg(packageName));
    else
        fail(qt_error_string(errno));
    return file;
}

bool DownloadDirectory::fail(const QString &text)
{
    directory.reset();
    error = text;
    return false;
}
