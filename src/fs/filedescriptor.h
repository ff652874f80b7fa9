#ifndef FILEDESCRIPTOR_H
#define FILEDESCRIPTOR_H

#include <QIODevice>

class QFile;

// A file descriptor that closes itself: move-only, -1 when it holds none.
class FileDescriptor
{
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int descriptor)
        : descriptor(descriptor)
    { }
    FileDescriptor(FileDescriptor &&other) noexcept
        : descriptor(other.release())
    { }
    FileDescriptor &operator=(FileDescriptor &&other) noexcept;
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    ~FileDescriptor() { reset(); }

    bool isValid() const { return descriptor >= 0; }
    int get() const { return descriptor; }
    // Hands the descriptor over to the caller, who closes it.
    int release();
    // Opens file on the descriptor, which the file then closes; false (and the descriptor
    // closed) when it holds none or the file cannot be opened.
    bool handTo(QFile &file, QIODevice::OpenMode mode);
    // Closes the descriptor held, keeping errno as it was, and holds `replacement` instead.
    void reset(int replacement = -1);

private:
    int descriptor = -1;
};

#endif // FILEDESCRIPTOR_H
