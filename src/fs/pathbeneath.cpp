#include "pathbeneath.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// O_DIRECTORY reports a link as ENOTDIR, which would hide why the path was refused.
int openDirectoryAt(int directory, const char *name)
{
    const int opened = ::openat(directory, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat status;
    if (opened < 0 && errno == ENOTDIR
        && ::fstatat(directory, name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode))
        errno = ELOOP;
    return opened;
}

// Opens name in parent and keeps it only if it is a plain file that, when it is written, has
// no second name. Something else standing there is not even opened (a device may act on it);
// non-blocking, so that a FIFO swapped in meanwhile cannot hang the caller.
FileDescriptor openPlain(int parent, const QByteArray &name, int flags)
{
    struct stat status;
    if (::fstatat(parent, name.constData(), &status, AT_SYMLINK_NOFOLLOW) == 0
        && !S_ISREG(status.st_mode)) {
        errno = S_ISLNK(status.st_mode) ? ELOOP : S_ISDIR(status.st_mode) ? EISDIR : EPERM;
        return FileDescriptor();
    }
    FileDescriptor file(
        ::openat(parent, name.constData(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
    if (!file.isValid() || ::fstat(file.get(), &status) != 0)
        return FileDescriptor();
    const bool writes = (flags & O_ACCMODE) != O_RDONLY;
    if (!S_ISREG(status.st_mode) || (writes && status.st_nlink != 1)) {
        errno = EPERM;
        return FileDescriptor();
    }
    const int current = ::fcntl(file.get(), F_GETFL);
    if (current < 0 || ::fcntl(file.get(), F_SETFL, current & ~O_NONBLOCK) != 0)
        return FileDescriptor();
    return file;
}

// The parent directory of the last segment, with the last segment itself.
FileDescriptor parentOf(int directory, QList<QByteArray> *segments, QByteArray *name, bool create)
{
    if (segments->isEmpty() || segments->constLast() == "..") {
        errno = segments->isEmpty() ? EISDIR : EACCES;
        return FileDescriptor();
    }
    *name = segments->takeLast();
    return PathBeneath::descend(directory, *segments, create);
}

} // namespace

FileDescriptor PathBeneath::openDirectory(const QString &path)
{
    // Without a trailing separator, which would make open() follow a link in the last place.
    return FileDescriptor(
        openDirectoryAt(AT_FDCWD, QFile::encodeName(QDir::cleanPath(path)).constData()));
}

FileDescriptor PathBeneath::openDirectory(int directory, const QString &relativePath, bool create,
                                          Durability durability)
{
    return descend(directory, segmentsOf(relativePath), create, -1, durability);
}

FileDescriptor PathBeneath::createFile(int directory, const QString &relativePath, int accessMode)
{
    QList<QByteArray> segments = segmentsOf(relativePath);
    QByteArray name;
    const FileDescriptor parent = parentOf(directory, &segments, &name, true);
    return parent.isValid() ? createFileIn(parent.get(), name, accessMode) : FileDescriptor();
}

FileDescriptor PathBeneath::createFileIn(int parent, const QByteArray &name, int accessMode)
{
    // A file this call creates is new, plain, empty and nobody else's: nothing to check.
    FileDescriptor file(::openat(parent, name.constData(),
                                 accessMode | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (file.isValid() || errno != EEXIST)
        return file;
    // Not truncated on opening: a hard link would empty another file.
    file = openPlain(parent, name, accessMode | O_CREAT);
    if (file.isValid() && ::ftruncate(file.get(), 0) != 0)
        return FileDescriptor();
    return file;
}

FileDescriptor PathBeneath::openFile(int directory, const QString &relativePath, int flags)
{
    QList<QByteArray> segments = segmentsOf(relativePath);
    QByteArray name;
    const FileDescriptor parent = parentOf(directory, &segments, &name, flags & O_CREAT);
    return parent.isValid() ? openPlain(parent.get(), name, flags & ~O_TRUNC) : FileDescriptor();
}

bool PathBeneath::moveBeneath(int directory, const QString &from, const QString &to)
{
    QList<QByteArray> fromSegments = segmentsOf(from);
    QList<QByteArray> toSegments = segmentsOf(to);
    QByteArray fromName;
    QByteArray toName;
    const FileDescriptor source = parentOf(directory, &fromSegments, &fromName, false);
    const FileDescriptor target
        = source.isValid() ? parentOf(directory, &toSegments, &toName, true) : FileDescriptor();
    return target.isValid()
        && ::renameat2(source.get(), fromName.constData(), target.get(), toName.constData(),
                       RENAME_NOREPLACE)
        == 0;
}

bool PathBeneath::removeFile(int directory, const QString &relativePath)
{
    QList<QByteArray> segments = segmentsOf(relativePath);
    QByteArray name;
    const FileDescriptor parent = parentOf(directory, &segments, &name, false);
    return parent.isValid() && ::unlinkat(parent.get(), name.constData(), 0) == 0;
}

bool PathBeneath::removeContents(int directory, const QByteArray &kept, Directories directories)
{
    // fdopendir takes over the descriptor it is given, so it gets a copy. The copy shares the
    // position of the directory's own descriptor, which an earlier listing left at its end.
    DIR *listing = ::fdopendir(::fcntl(directory, F_DUPFD_CLOEXEC, 0));
    if (!listing)
        return false;
    ::rewinddir(listing);
    QList<QByteArray> names;
    while (const dirent *entry = ::readdir(listing)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != ".." && name != kept)
            names.append(name);
    }
    ::closedir(listing);
    // The first failure is the one reported, in errno too.
    int failure = 0;
    for (const QByteArray &name : std::as_const(names)) {
        if (::unlinkat(directory, name.constData(), 0) == 0)
            continue;
        // A directory (never a link to one: those were unlinked above) goes with its contents.
        const FileDescriptor inner(openDirectoryAt(directory, name.constData()));
        if (!(inner.isValid() && removeContents(inner.get(), QByteArray(), directories)
              && (directories == KeepDirectories
                  || ::unlinkat(directory, name.constData(), AT_REMOVEDIR) == 0))
            && failure == 0)
            failure = errno;
    }
    errno = failure;
    return failure == 0;
}

QList<QByteArray> PathBeneath::segmentsOf(const QString &relativePath)
{
    QList<QByteArray> segments;
    for (const QByteArray &segment : QFile::encodeName(relativePath).split('/')) {
        if (!segment.isEmpty() && segment != ".")
            segments.append(segment);
    }
    return segments;
}

FileDescriptor PathBeneath::descend(int directory, const QList<QByteArray> &segments, bool create,
                                    int createdMode, Durability durability)
{
    FileDescriptor current(::fcntl(directory, F_DUPFD_CLOEXEC, 0));
    for (const QByteArray &segment : segments) {
        if (!current.isValid())
            break;
        if (segment == "..") {
            errno = EACCES;
            return FileDescriptor();
        }
        int next = openDirectoryAt(current.get(), segment.constData());
        if (next < 0 && errno == ENOENT && create) {
            if (::mkdirat(current.get(), segment.constData(), 0777) == 0) {
                if (durability == Synced && ::fsync(current.get()) != 0)
                    return FileDescriptor();
            } else if (errno != EEXIST) {
                return FileDescriptor();
            }
            next = openDirectoryAt(current.get(), segment.constData());
            if (next >= 0 && createdMode >= 0)
                ::fchmod(next, mode_t(createdMode));
        }
        current.reset(next);
    }
    return current;
}

QString PathBeneath::cleanAbsolute(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

bool PathBeneath::isWithin(const QString &root, const QString &absolutePath, QString *relative)
{
    QString base = root;
    while (base.size() > 1 && base.endsWith(QLatin1Char('/')))
        base.chop(1);
    QString below;
    if (base.isEmpty() || !absolutePath.startsWith(base))
        return false;
    if (absolutePath.size() == base.size())
        below.clear();
    else if (base == QLatin1String("/"))
        below = absolutePath.mid(1);
    else if (absolutePath.at(base.size()) == QLatin1Char('/'))
        below = absolutePath.mid(base.size() + 1);
    else
        return false;
    if (relative)
        *relative = below;
    return true;
}
