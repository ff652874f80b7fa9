#include "listener.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <linux/filter.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace {

quint16 portOf(const sockaddr_storage &storage)
{
    return storage.ss_family == AF_INET6
        ? ntohs(reinterpret_cast<const sockaddr_in6 *>(&storage)->sin6_port)
        : ntohs(reinterpret_cast<const sockaddr_in *>(&storage)->sin_port);
}

// What the kernel holds of a reply that the client does not take (it doubles the figure): a
// fixed bound instead of the few MiB that it grows each connection's buffer to by itself. Set
// on the listening socket, whose clients' sockets inherit it.
const int sendBufferSize = 64 * 1024;
// A client is handed out once its first bytes have come, or once this many seconds have passed
// since its handshake: the kernel holds it meanwhile. Handed out at the handshake, most clients
// had sent nothing yet, and each cost a read that found nothing and a wait in the epoll set
// before its query came.
const int deferAcceptSeconds = 1;

// Binds a new socket to the address; an invalid descriptor with errno set when that fails.
FileDescriptor bound(const QHostAddress &address, quint16 port)
{
    sockaddr_storage storage {};
    socklen_t length = 0;
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&in6->sin6_addr, &bytes, sizeof bytes);
        length = sizeof *in6;
    } else {
        auto *in4 = reinterpret_cast<sockaddr_in *>(&storage);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(port);
        in4->sin_addr.s_addr = htonl(address.toIPv4Address());
        length = sizeof *in4;
    }
    FileDescriptor socket(
        ::socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const int on = 1;
    if (!socket.isValid()
        || ::setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0
        || ::setsockopt(socket.get(), SOL_SOCKET, SO_SNDBUF, &sendBufferSize, sizeof sendBufferSize)
            != 0
        || ::setsockopt(socket.get(), IPPROTO_TCP, TCP_DEFER_ACCEPT, &deferAcceptSeconds,
                        sizeof deferAcceptSeconds)
            != 0
        || ::bind(socket.get(), reinterpret_cast<const sockaddr *>(&storage), length) != 0) {
        const int failure = errno;
        socket.reset();
        errno = failure;
    }
    return socket;
}

} // namespace

bool Listener::listen(const QHostAddress &address, quint16 port, int backlog)
{
    socket = bound(address, port);
    if (!socket.isValid() || ::listen(socket.get(), backlog) != 0) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        socket.reset();
        return false;
    }
    watch();
    return true;
}

bool Listener::listenWith(const Listener &first)
{
    socket = FileDescriptor(::fcntl(first.socket.get(), F_DUPFD_CLOEXEC, 0));
    if (!socket.isValid()) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    watch();
    return true;
}

void Listener::watch()
{
    notifier = std::make_unique<QSocketNotifier>(socket.get(), QSocketNotifier::Read);
    connect(notifier.get(), &QSocketNotifier::activated, this, &Listener::pending);
}

quint16 Listener::port() const
{
    sockaddr_storage storage {};
    socklen_t length = sizeof storage;
    if (!socket.isValid()
        || ::getsockname(socket.get(), reinterpret_cast<sockaddr *>(&storage), &length) != 0)
        return 0;
    return portOf(storage);
}

int Listener::accept(QHostAddress *address, quint16 *port)
{
    if (!socket.isValid())
        return -1;
    sockaddr_storage storage {};
    socklen_t length = sizeof storage;
    const int client = ::accept4(socket.get(), reinterpret_cast<sockaddr *>(&storage), &length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (client < 0)
        return -1;
    address->setAddress(reinterpret_cast<const sockaddr *>(&storage));
    *port = portOf(storage);
    return client;
}

void Listener::setWatching(bool watching)
{
    if (notifier)
        notifier->setEnabled(watching);
}

bool Listener::stopHandshakes()
{
    // Seen from the TCP header on: its byte 13 holds the flags. A SYN without ACK opens a
    // connection; everything else passes, the ACKs that complete handshakes among it.
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 13),
        BPF_STMT(BPF_ALU | BPF_AND | BPF_K, TH_SYN | TH_ACK),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, TH_SYN, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, 0),
        BPF_STMT(BPF_RET | BPF_K, 0xffffffff),
    };
    const sock_fprog program = {sizeof code / sizeof code[0], code};
    return socket.isValid()
        && ::setsockopt(socket.get(), SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0;
}

void Listener::close()
{
    notifier.reset();
    socket.reset();
}
