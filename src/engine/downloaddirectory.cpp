#include "downloaddirectory.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString translated(const char *text)
{
    return QCoreApplication::translate("translation", text, "nc");
}

// Without a trailing separator: "dir/" would make open() follow a link named dir.
QByteArray nativePath(const QString &path)
{
    return QFile::encodeName(QDir::cleanPath(path));
}

} // namespace

void DownloadDirectory::create(const QString &path)
{
    const QByteArray native = nativePath(path);
    QDir().mkpath(QFileInfo(QDir::cleanPath(path)).path());
    ::mkdir(native.constData(), 0700);
}

int DownloadDirectory::open(const QString &path, QString *problem)
{
    return open(path, problem, ::geteuid());
}

int DownloadDirectory::open(const QString &path, QString *problem, uid_t owner)
{
    const QString shown = QDir::cleanPath(path);
    const int directory
        = ::open(nativePath(path).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (directory < 0) {
        const int error = errno;
        if (error == ELOOP || error == ENOTDIR)
            *problem = translated("The download directory %1 is a symbolic link or not a "
                                  "directory, so no update is downloaded.")
                           .arg(shown);
        else
            *problem = translated("The download directory %1 cannot be used (%2), so no update "
                                  "is downloaded.")
                           .arg(shown, qt_error_string(error));
        return -1;
    }
    struct stat status;
    if (::fstat(directory, &status) != 0) {
        *problem = translated("The download directory %1 cannot be used (%2), so no update is "
                              "downloaded.")
                       .arg(shown, qt_error_string(errno));
    } else if (status.st_uid != owner) {
        *problem = translated("The download directory %1 belongs to another user, so no update "
                              "is downloaded.")
                       .arg(shown);
    } else if (status.st_mode & (S_IWGRP | S_IWOTH)) {
        *problem = translated("Other users can write to the download directory %1, so no update "
                              "is downloaded.")
                       .arg(shown);
    } else {
        return directory;
    }
    ::close(directory);
    return -1;
}
