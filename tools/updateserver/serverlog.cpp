#include "serverlog.h"

#include <cstdio>

#include <stdio_ext.h>
#include <unistd.h>

namespace ServerLog {

void buffer()
{
    // Storage of its own: given none, the C library ignores the size and takes the file
    // system's block size, often 4 KiB.
    static char storage[1 << 16];
    std::setvbuf(stderr, storage, _IOFBF, sizeof storage);
}

void write(QByteArrayView line)
{
    // Instances behind one balancer may append to one file. A buffer written out when full
    // ends inside a line, and another instance's lines could land between its halves: so the
    // buffer is written out first when a line does not fit in it. Whichever event loop writes,
    // the stream's lock keeps the line whole.
    const size_t size = size_t(line.size());
    flockfile(stderr);
    const size_t capacity = __fbufsize(stderr);
    if (__fpending(stderr) + size > capacity)
        fflush_unlocked(stderr);
    if (size >= capacity) {
        // Longer than the buffer, which would write it in two: written by itself, at once.
        [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, line.data(), size);
    } else {
        fwrite_unlocked(line.data(), 1, size, stderr);
    }
    funlockfile(stderr);
}

void flush()
{
    std::fflush(stderr);
}

void note(const QString &message)
{
    write(QByteArray("vorn-update-server: " + message.toUtf8() + '\n'));
    flush();
}

} // namespace ServerLog
