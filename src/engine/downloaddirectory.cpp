#include "downloaddirectory.h"

#include "archiveextractor.h"
#include "translated.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

void DownloadDirectory::create(const QString &path)
{
    const QString clean = QDir::cleanPath(path);
    QDir().mkpath(QFileInfo(clean).path());
    ::mkdir(QFile::encodeName(clean).constData(), 0700);
}

int DownloadDirectory::open(const QString &path, QString *problem)
{
    return open(path, problem, ::geteuid());
}

int DownloadDirectory::open(const QString &path, QString *problem, uid_t owner)
{
    const QString shown = QDir::cleanPath(path);
    const int directory = openDirectoryNoFollow(path);
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
