#include "lockfile.h"

#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// Who may open the lock file of a directory: its owner, and its group where the group may
// write the directory.
struct Rights
{
    explicit Rights(const struct stat &directory)
        : groupWrites(directory.st_mode & S_IWGRP)
        , owner(directory.st_uid)
        , group(directory.st_gid)
        , mode(groupWrites ? 0660 : 0600)
    { }

    // The same rule for every run, so that no run replaces a file that another one holds.
    bool fit(const struct stat &file) const
    {
        return S_ISREG(file.st_mode) && file.st_nlink == 1 && (file.st_mode & 07777) == mode
            && (groupWrites ? file.st_gid == group : file.st_uid == owner);
    }

    // A new file, given the rights before anyone else can open it.
    FileDescriptor create(int directory, const QByteArray &name) const
    {
        FileDescriptor made(::openat(directory, name.constData(),
                                     O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!made.isValid())
            return made;
        const bool root = ::geteuid() == 0;
        const bool owned = !(root || groupWrites)
            || ::fchown(made.get(), root ? owner : uid_t(-1), groupWrites ? group : gid_t(-1)) == 0;
        if (!owned || ::fchmod(made.get(), mode) != 0) {
            ::unlinkat(directory, name.constData(), 0);
            made.reset();
        }
        return made;
    }

    bool groupWrites;
    uid_t owner;
    gid_t group;
    mode_t mode;
};

bool sameFile(const struct stat &one, const struct stat &other)
{
    return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

// Puts a new file with the rights in the place of what the name holds.
bool replace(int directory, const QByteArray &name, const Rights &rights)
{
    const QByteArray temporary
        = name + '.' + QByteArray::number(QRandomGenerator::system()->generate64(), 36);
    const FileDescriptor made = rights.create(directory, temporary);
    if (!made.isValid())
        return false;
    if (::renameat(directory, temporary.constData(), directory, name.constData()) == 0)
        return true;
    ::unlinkat(directory, temporary.constData(), 0);
    return false;
}

// The process holding a flock on the file, as /proc/locks lists it; 0 when none is listed.
qint64 flockHolder(const struct stat &file)
{
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray place = QByteArray::number(major(file.st_dev), 16).rightJustified(2, '0') + ':'
        + QByteArray::number(minor(file.st_dev), 16).rightJustified(2, '0') + ':'
        + QByteArray::number(quint64(file.st_ino));
    // "1: FLOCK  ADVISORY  WRITE 8761 fe:00:10953091 0 EOF"; waiters have "->" after the number.
    for (const QByteArray &line : locks.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() >= 6 && fields.at(1) == "FLOCK" && fields.at(5) == place)
            return fields.at(4).toLongLong();
    }
    return 0;
}

} // namespace

LockFile::Outcome LockFile::take(int directory, const QByteArray &name)
{
    holdingProcess = 0;
    Outcome outcome = Failed;
    // Another run replacing a stale file at the same time may make an attempt start over.
    for (int attempts = 0; attempts < 4; ++attempts) {
        if (attempt(directory, name, &outcome) == Done)
            return outcome;
    }
    errno = EAGAIN;
    return Failed;
}

LockFile::Attempt LockFile::attempt(int directory, const QByteArray &name, Outcome *outcome)
{
    file.reset();
    *outcome = Failed;
    struct stat status;
    if (::fstat(directory, &status) != 0)
        return Done;
    const Rights rights(status);
    const bool writable = ::faccessat(directory, ".", W_OK, AT_EACCESS) == 0;

    file.reset(::openat(directory, name.constData(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file.isValid()) {
        const int error = errno;
        const bool present
            = ::fstatat(directory, name.constData(), &status, AT_SYMLINK_NOFOLLOW) == 0;
        if (present && !S_ISREG(status.st_mode)) {
            *outcome = NotPlainFile;
            return Done;
        }
        if (!writable) {
            *outcome = NotWritable;
            return Done;
        }
        if (error == ENOENT)
            return rights.create(directory, name).isValid() || errno == EEXIST ? Retry : Done;
        // A file that this run may not open is left only where it fits the rule for all runs:
        // then one of the directory's other writers may hold it.
        if (error == EACCES && present && !rights.fit(status))
            return replace(directory, name, rights) ? Retry : Done;
        errno = error;
        return Done;
    }
    if (::fstat(file.get(), &status) != 0)
        return Done;
    if (!S_ISREG(status.st_mode)) {
        *outcome = NotPlainFile;
        return Done;
    }
    if (!rights.fit(status)) {
        if (!writable) {
            *outcome = NotWritable;
            return Done;
        }
        return replace(directory, name, rights) ? Retry : Done;
    }
    if (::flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK)
            return Done;
        holdingProcess = flockHolder(status);
        file.reset();
        *outcome = Held;
        return Done;
    }
    struct stat named;
    if (::fstatat(directory, name.constData(), &named, AT_SYMLINK_NOFOLLOW) != 0
        || !sameFile(named, status))
        return Retry;
    *outcome = Taken;
    return Done;
}
