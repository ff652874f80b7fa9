#include "replacefile.h"

#include "filedescriptor.h"

#include <QRandomGenerator>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool writeAll(int descriptor, const char *data, ssize_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(descriptor, data, size_t(size));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}

bool copyContents(int from, int to)
{
    // Uninitialised: it is filled before it is written.
    QByteArray buffer(256 * 1024, Qt::Uninitialized);
    for (;;) {
        const ssize_t got = ::read(from, buffer.data(), size_t(buffer.size()));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got == 0;
        if (!writeAll(to, buffer.constData(), got))
            return false;
    }
}

// A new file of this user with an unused name beside the target.
FileDescriptor createCopy(int directory, QByteArray *name)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        *name = replacementCopyPrefix().latin1()
            + QByteArray::number(QRandomGenerator::global()->generate(), 36);
        FileDescriptor copy(::openat(directory, name->constData(),
                                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (copy.isValid() || errno != EEXIST)
            return copy;
    }
    return FileDescriptor();
}

} // namespace

mode_t modeOf(QFileDevice::Permissions permissions)
{
    // Owner, group and other each hold read, write and execute in one nibble, in that order.
    const uint bits = uint(permissions);
    return mode_t(((bits >> 12) & 7) << 6 | ((bits >> 4) & 7) << 3 | (bits & 7));
}

bool replaceFile(int source, int directory, const QByteArray &name, mode_t mode)
{
    QByteArray copyName;
    FileDescriptor copy = createCopy(directory, &copyName);
    if (!copy.isValid())
        return false;
    if (!copyContents(source, copy.get()) || ::fchmod(copy.get(), mode) != 0
        || ::fdatasync(copy.get()) != 0 || ::close(copy.release()) != 0
        || ::renameat(directory, copyName.constData(), directory, name.constData()) != 0
        || ::fsync(directory) != 0) {
        const int error = errno;
        // Flushed, since the run's end flushes nothing more: no copy may come back after a
        // power cut.
        if (::unlinkat(directory, copyName.constData(), 0) == 0)
            ::fsync(directory);
        errno = error;
        return false;
    }
    return true;
}
