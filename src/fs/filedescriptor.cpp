#include "filedescriptor.h"

#include <QFile>

#include <cerrno>
#include <unistd.h>

FileDescriptor &FileDescriptor::operator=(FileDescriptor &&other) noexcept
{
    if (this != &other)
        reset(other.release());
    return *this;
}

int FileDescriptor::release()
{
    const int released = descriptor;
    descriptor = -1;
    return released;
}

// errno still tells the caller why it gave up on the descriptor.
void FileDescriptor::reset(int replacement)
{
    if (descriptor >= 0) {
        const int error = errno;
        ::close(descriptor);
        errno = error;
    }
    descriptor = replacement;
}

bool FileDescriptor::handTo(QFile &file, QIODevice::OpenMode mode)
{
    if (descriptor < 0 || !file.open(descriptor, mode, QFileDevice::AutoCloseHandle)) {
        reset();
        return false;
    }
    release();
    return true;
}
