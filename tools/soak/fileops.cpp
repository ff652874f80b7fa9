// Preloaded (LD_PRELOAD) into a run of vorn-updater by the fault soak and the tests: it sees the
// run's file operations below chosen directories, and records them, kills the process at one of
// them or holds it there. Plain C library calls only: it runs inside every thread of the
// program, before and after Qt.
//
//   VORN_FILEOPS_WITHIN     colon-separated directories whose operations count (required)
//   VORN_FILEOPS_LOG        file that receives one line per operation: its kind and path(s),
//                           writes and syncs included, in the order they were made
//   VORN_FILEOPS_KILL_AT    N: SIGKILL just before the Nth counted operation
//   VORN_FILEOPS_PAUSE_AT   N: before the Nth counted operation, create VORN_FILEOPS_PAUSE_FILE
//                           and wait until it is removed
//
// Counted are the operations that change the file system: an open that creates, empties or
// writes, rename, link, unlink, mkdir, rmdir, fsync and fdatasync. Writes are only recorded.

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

namespace {

template<typename Function> Function real(const char *name)
{
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

struct Settings
{
    std::vector<std::string> within;
    int logDescriptor = -1;
    long killAt = 0;
    long pauseAt = 0;
    std::string pauseFile;

    Settings()
    {
        if (const char *list = std::getenv("VORN_FILEOPS_WITHIN")) {
            std::string rest(list);
            for (size_t colon; (colon = rest.find(':')) != std::string::npos;
                 rest.erase(0, colon + 1))
                add(rest.substr(0, colon));
            add(rest);
        }
        if (const char *log = std::getenv("VORN_FILEOPS_LOG")) {
            static const auto openReal = real<int (*)(const char *, int, ...)>("open");
            logDescriptor = openReal(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        }
        if (const char *at = std::getenv("VORN_FILEOPS_KILL_AT"))
            killAt = std::atol(at);
        if (const char *at = std::getenv("VORN_FILEOPS_PAUSE_AT"))
            pauseAt = std::atol(at);
        if (const char *file = std::getenv("VORN_FILEOPS_PAUSE_FILE"))
            pauseFile = file;
    }

    void add(const std::string &directory)
    {
        if (!directory.empty())
            within.push_back(directory.back() == '/' ? directory : directory + '/');
    }
};

Settings &settings()
{
    static Settings instance;
    return instance;
}

std::atomic<long> counted {0};
std::mutex logMutex;
// Set while this library itself works, so that its own calls are not seen.
thread_local bool inside = false;

std::string pathOf(int descriptor)
{
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", descriptor);
    char target[PATH_MAX];
    const ssize_t length = ::readlink(link, target, sizeof target - 1);
    return length > 0 ? std::string(target, size_t(length)) : std::string();
}

std::string resolve(int directory, const char *name)
{
    if (!name)
        return std::string();
    if (name[0] == '/')
        return name;
    if (directory == AT_FDCWD) {
        char cwd[PATH_MAX];
        return ::getcwd(cwd, sizeof cwd) ? std::string(cwd) + '/' + name : std::string(name);
    }
    return pathOf(directory) + '/' + name;
}

bool watched(const std::string &path)
{
    for (const std::string &directory : settings().within) {
        if (path.compare(0, directory.size(), directory) == 0 || path + '/' == directory)
            return true;
    }
    return false;
}

void record(const char *kind, const std::string &path, const std::string &other = std::string())
{
    const Settings &s = settings();
    if (s.logDescriptor < 0)
        return;
    std::string line = std::string(kind) + '\t' + path;
    if (!other.empty())
        line += '\t' + other;
    line += '\n';
    static const auto writeReal = real<ssize_t (*)(int, const void *, size_t)>("write");
    std::lock_guard<std::mutex> lock(logMutex);
    [[maybe_unused]] const ssize_t written = writeReal(s.logDescriptor, line.data(), line.size());
}

// Called before an operation that changes the file system below a watched directory.
void operation(const char *kind, const std::string &path, const std::string &other = std::string())
{
    if (inside || (!watched(path) && (other.empty() || !watched(other))))
        return;
    inside = true;
    const Settings &s = settings();
    const long number = ++counted;
    if (number == s.killAt)
        ::raise(SIGKILL);
    if (number == s.pauseAt && !s.pauseFile.empty()) {
        static const auto openReal = real<int (*)(const char *, int, ...)>("open");
        const int marker = openReal(s.pauseFile.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (marker >= 0)
            ::close(marker);
        struct stat status;
        while (::stat(s.pauseFile.c_str(), &status) == 0)
            ::usleep(10000);
    }
    record(kind, path, other);
    inside = false;
}

bool changes(int flags)
{
    return (flags & (O_CREAT | O_TRUNC)) || (flags & O_ACCMODE) != O_RDONLY;
}

// Notes an open that changes the file system; returns its mode argument, if it has one.
int noteOpen(int directory, const char *path, int flags, va_list arguments)
{
    const int mode
        = (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(arguments, int) : 0;
    if (changes(flags))
        operation("open", resolve(directory, path));
    return mode;
}

} // namespace

extern "C" {

int open(const char *path, int flags, ...)
{
    static const auto call = real<int (*)(const char *, int, ...)>("open");
    va_list arguments;
    va_start(arguments, flags);
    const int mode = noteOpen(AT_FDCWD, path, flags, arguments);
    va_end(arguments);
    return call(path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
    static const auto call = real<int (*)(const char *, int, ...)>("open64");
    va_list arguments;
    va_start(arguments, flags);
    const int mode = noteOpen(AT_FDCWD, path, flags, arguments);
    va_end(arguments);
    return call(path, flags, mode);
}

int openat(int directory, const char *path, int flags, ...)
{
    static const auto call = real<int (*)(int, const char *, int, ...)>("openat");
    va_list arguments;
    va_start(arguments, flags);
    const int mode = noteOpen(directory, path, flags, arguments);
    va_end(arguments);
    return call(directory, path, flags, mode);
}

int openat64(int directory, const char *path, int flags, ...)
{
    static const auto call = real<int (*)(int, const char *, int, ...)>("openat64");
    va_list arguments;
    va_start(arguments, flags);
    const int mode = noteOpen(directory, path, flags, arguments);
    va_end(arguments);
    return call(directory, path, flags, mode);
}

int __open_2(const char *path, int flags)
{
    if (changes(flags))
        operation("open", resolve(AT_FDCWD, path));
    static const auto call = real<int (*)(const char *, int)>("__open_2");
    return call(path, flags);
}

int __open64_2(const char *path, int flags)
{
    if (changes(flags))
        operation("open", resolve(AT_FDCWD, path));
    static const auto call = real<int (*)(const char *, int)>("__open64_2");
    return call(path, flags);
}

int __openat_2(int directory, const char *path, int flags)
{
    if (changes(flags))
        operation("open", resolve(directory, path));
    static const auto call = real<int (*)(int, const char *, int)>("__openat_2");
    return call(directory, path, flags);
}

int __openat64_2(int directory, const char *path, int flags)
{
    if (changes(flags))
        operation("open", resolve(directory, path));
    static const auto call = real<int (*)(int, const char *, int)>("__openat64_2");
    return call(directory, path, flags);
}

int rename(const char *from, const char *to)
{
    operation("rename", resolve(AT_FDCWD, from), resolve(AT_FDCWD, to));
    static const auto call = real<int (*)(const char *, const char *)>("rename");
    return call(from, to);
}

int renameat(int fromDirectory, const char *from, int toDirectory, const char *to)
{
    operation("rename", resolve(fromDirectory, from), resolve(toDirectory, to));
    static const auto call = real<int (*)(int, const char *, int, const char *)>("renameat");
    return call(fromDirectory, from, toDirectory, to);
}

int renameat2(int fromDirectory, const char *from, int toDirectory, const char *to,
              unsigned int flags)
{
    operation("rename", resolve(fromDirectory, from), resolve(toDirectory, to));
    static const auto call
        = real<int (*)(int, const char *, int, const char *, unsigned int)>("renameat2");
    return call(fromDirectory, from, toDirectory, to, flags);
}

int link(const char *from, const char *to)
{
    operation("link", resolve(AT_FDCWD, from), resolve(AT_FDCWD, to));
    static const auto call = real<int (*)(const char *, const char *)>("link");
    return call(from, to);
}

int linkat(int fromDirectory, const char *from, int toDirectory, const char *to, int flags)
{
    operation("link", resolve(fromDirectory, from), resolve(toDirectory, to));
    static const auto call = real<int (*)(int, const char *, int, const char *, int)>("linkat");
    return call(fromDirectory, from, toDirectory, to, flags);
}

int unlink(const char *path)
{
    operation("unlink", resolve(AT_FDCWD, path));
    static const auto call = real<int (*)(const char *)>("unlink");
    return call(path);
}

int unlinkat(int directory, const char *path, int flags)
{
    operation("unlink", resolve(directory, path));
    static const auto call = real<int (*)(int, const char *, int)>("unlinkat");
    return call(directory, path, flags);
}

int mkdir(const char *path, mode_t mode)
{
    operation("mkdir", resolve(AT_FDCWD, path));
    static const auto call = real<int (*)(const char *, mode_t)>("mkdir");
    return call(path, mode);
}

int mkdirat(int directory, const char *path, mode_t mode)
{
    operation("mkdir", resolve(directory, path));
    static const auto call = real<int (*)(int, const char *, mode_t)>("mkdirat");
    return call(directory, path, mode);
}

int rmdir(const char *path)
{
    operation("rmdir", resolve(AT_FDCWD, path));
    static const auto call = real<int (*)(const char *)>("rmdir");
    return call(path);
}

int fsync(int descriptor)
{
    operation("fsync", pathOf(descriptor));
    static const auto call = real<int (*)(int)>("fsync");
    return call(descriptor);
}

int fdatasync(int descriptor)
{
    operation("fdatasync", pathOf(descriptor));
    static const auto call = real<int (*)(int)>("fdatasync");
    return call(descriptor);
}

ssize_t write(int descriptor, const void *data, size_t size)
{
    if (!inside && settings().logDescriptor >= 0 && descriptor > 2) {
        inside = true;
        const std::string path = pathOf(descriptor);
        if (watched(path))
            record("write", path);
        inside = false;
    }
    static const auto call = real<ssize_t (*)(int, const void *, size_t)>("write");
    return call(descriptor, data, size);
}

} // extern "C"
