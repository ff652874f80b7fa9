#include "privatedirectory.h"

#include "pathbeneath.h"
#include "replacefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

PrivateDirectory::PrivateDirectory(const QString &path)
{
    QDir().mkpath(QFileInfo(path).path());
    ::mkdir(QFile::encodeName(path).constData(), 0700);
    FileDescriptor opened = PathBeneath::openDirectory(path);
    struct stat status;
    if (opened.isValid() && ::fstat(opened.get(), &status) == 0 && status.st_uid == ::geteuid()
        && (status.st_mode & 077) == 0)
        directory = std::move(opened);
}

bool PrivateDirectory::read(const QByteArray &name, qint64 limit, QByteArray *bytes) const
{
    FileDescriptor descriptor = isOpen()
        ? PathBeneath::openFile(directory.get(), QString::fromLatin1(name), O_RDONLY)
        : FileDescriptor();
    QFile file;
    if (!descriptor.handTo(file, QIODevice::ReadOnly))
        return false;
    *bytes = file.read(limit);
    return file.error() == QFileDevice::NoError;
}

bool PrivateDirectory::write(const QByteArray &name, const QByteArray &bytes) const
{
    if (!isOpen())
        return false;
    const QByteArray temporary = replacementCopyPrefix().latin1() + name;
    FileDescriptor file = PathBeneath::createFileIn(directory.get(), temporary, O_WRONLY);
    bool written = file.isValid() && ::fchmod(file.get(), 0600) == 0;
    for (qsizetype at = 0; written && at < bytes.size();) {
        const ssize_t count
            = ::write(file.get(), bytes.constData() + at, size_t(bytes.size() - at));
        written = count > 0;
        at += count;
    }
    written = written && ::fsync(file.get()) == 0
        && ::renameat(directory.get(), temporary.constData(), directory.get(), name.constData())
            == 0;
    if (!written && file.isValid())
        ::unlinkat(directory.get(), temporary.constData(), 0);
    return written && ::fsync(directory.get()) == 0;
}

bool PrivateDirectory::remove(const QByteArray &name) const
{
    return isOpen() && ::unlinkat(directory.get(), name.constData(), 0) == 0;
}

QList<QByteArray> PrivateDirectory::files(const QByteArray &prefix) const
{
    QList<QByteArray> names;
    // A descriptor of its own: the listing closes it, and reads from the start.
    const int listed
        = isOpen() ? ::openat(directory.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    DIR *entries = listed >= 0 ? ::fdopendir(listed) : nullptr;
    if (!entries) {
        if (listed >= 0)
            ::close(listed);
        return names;
    }
    while (const dirent *entry = ::readdir(entries)) {
        const QByteArray name(entry->d_name);
        if (name.startsWith(prefix) && entry->d_type == DT_REG)
            names.append(name);
    }
    ::closedir(entries);
    std::sort(names.begin(), names.end());
    return names;
}
