// Preloaded into the updater by the start-up benchmark: the connect() that begins a connection to
// port 443 returns $VORN_BENCH_HANDSHAKE_MS milliseconds late, as a handshake over that round trip
// would, since loopback has none and this machine no netem. The caller's later connect() on the
// same socket, which only asks whether it is connected, is not delayed.

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>

extern "C" int connect(int socket, const sockaddr *address, socklen_t length)
{
    using Connect = int (*)(int, const sockaddr *, socklen_t);
    static const auto real = reinterpret_cast<Connect>(::dlsym(RTLD_NEXT, "connect"));
    const int result = real(socket, address, length);
    const int error = errno;
    const char *milliseconds = std::getenv("VORN_BENCH_HANDSHAKE_MS");
    if (milliseconds && result == -1 && error == EINPROGRESS && address->sa_family == AF_INET
        && ntohs(reinterpret_cast<const sockaddr_in *>(address)->sin_port) == 443) {
        const timespec pause = {0, std::atol(milliseconds) * 1000000L};
        ::nanosleep(&pause, nullptr);
    }
    errno = error;
    return result;
}
