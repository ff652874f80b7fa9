// A TCP relay that drops every connection after a number of bytes towards the client, as a
// flaky link does, and counts what it passed on.
//
//   vorn-bench-cutter LISTEN_ADDRESS TARGET_PORT CUT_BYTES COUNT_FILE
//
// Listens on LISTEN_ADDRESS port 80 and relays each connection to 127.0.0.1:TARGET_PORT. Once
// CUT_BYTES have gone to a client, that connection is closed on both sides. After each closed
// connection COUNT_FILE holds the bytes sent to clients in all. Runs until it is killed.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

struct Link
{
    int client;
    int server;
    long long sent; // towards the client
};

int listenOn(const char *address)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in where {};
    where.sin_family = AF_INET;
    where.sin_port = htons(80);
    if (fd < 0 || ::inet_pton(AF_INET, address, &where.sin_addr) != 1
        || ::bind(fd, reinterpret_cast<sockaddr *>(&where), sizeof where) != 0
        || ::listen(fd, 16) != 0)
        return -1;
    return fd;
}

int connectTo(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in where {};
    where.sin_family = AF_INET;
    where.sin_port = htons(uint16_t(port));
    ::inet_pton(AF_INET, "127.0.0.1", &where.sin_addr);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&where), sizeof where) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

bool writeAll(int fd, const char *data, ssize_t size)
{
    while (size > 0) {
        const ssize_t done = ::write(fd, data, size_t(size));
        if (done <= 0)
            return false;
        data += done;
        size -= done;
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 5) {
        std::fprintf(stderr,
                     "usage: vorn-bench-cutter LISTEN_ADDRESS TARGET_PORT CUT_BYTES "
                     "COUNT_FILE\n");
        return 2;
    }
    const int listener = listenOn(argv[1]);
    const int targetPort = std::atoi(argv[2]);
    const long long cut = std::atoll(argv[3]);
    const char *countFile = argv[4];
    if (listener < 0) {
        std::perror("vorn-bench-cutter: listen");
        return 1;
    }

    std::vector<Link> links;
    long long total = 0;
    std::vector<char> buffer(256 * 1024);
    for (;;) {
        std::vector<pollfd> watched {{listener, POLLIN, 0}};
        for (const Link &link : links) {
            watched.push_back({link.client, POLLIN, 0});
            watched.push_back({link.server, POLLIN, 0});
        }
        if (::poll(watched.data(), watched.size(), -1) < 0)
            return 1;
        if (watched[0].revents & POLLIN) {
            const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            const int server = client >= 0 ? connectTo(targetPort) : -1;
            if (server >= 0)
                links.push_back({client, server, 0});
            else if (client >= 0)
                ::close(client);
        }
        std::vector<Link> open;
        for (size_t i = 0; i < links.size(); ++i) {
            Link link = links[i];
            bool alive = true;
            const pollfd &fromClient = watched[1 + 2 * i];
            const pollfd &fromServer = watched[2 + 2 * i];
            if (fromClient.revents & (POLLIN | POLLHUP | POLLERR)) {
                const ssize_t got = ::read(link.client, buffer.data(), buffer.size());
                alive = got > 0 && writeAll(link.server, buffer.data(), got);
            }
            if (alive && (fromServer.revents & (POLLIN | POLLHUP | POLLERR))) {
                const ssize_t got
                    = ::read(link.server, buffer.data(),
                             size_t(std::min<long long>(ssize_t(buffer.size()), cut - link.sent)));
                alive = got > 0 && writeAll(link.client, buffer.data(), got);
                if (got > 0) {
                    link.sent += got;
                    total += got;
                }
                alive = alive && link.sent < cut;
            }
            if (alive) {
                open.push_back(link);
                continue;
            }
            ::close(link.client);
            ::close(link.server);
            if (FILE *out = std::fopen(countFile, "w")) {
                std::fprintf(out, "%lld\n", total);
                std::fclose(out);
            }
        }
        links = open;
    }
}
