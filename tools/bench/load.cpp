// A wave of update checks against a TCP server: each exchange sends one query and reads the
// reply until the server closes. Prints how many ended well, the rate and the latencies.
//
//   vorn-bench-load ADDRESS PORT CONNECTIONS SECONDS [--rate R] [--count COUNT]
//                   [--expect TEXT]... [--save FILE]
//
// Without --rate, CONNECTIONS exchanges go on at once for SECONDS (or until COUNT have
// started): the most the server answers. With --rate, R exchanges start every second, on time,
// never more than CONNECTIONS at once; an exchange's latency counts from when it was due, so
// that a server falling behind shows in it. An exchange fails when it cannot connect, is reset
// before any reply, or takes longer than 10 s. With --expect, each reply is counted under the
// first TEXT it holds (matched.N), or as unmatched; --save writes the first reply to FILE.
// Loopback addresses only; the source addresses are spread over 127.0.1.1 to 127.0.1.64 so
// that a long wave never runs out of local ports. Plain C++ and epoll: the driver must not be
// the bottleneck.

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const char query[] = "<s><update><component project='vorn' name='core' type='app' "
                     "version='1.0' /></update></s>";
const double exchangeLimit = 10.0;

struct Exchange
{
    int fd = -1;
    Clock::time_point due;
    bool sent = false;
    std::string reply;
};

struct Options
{
    sockaddr_in target = {};
    int connections = 0;
    double seconds = 0;
    double rate = 0;
    long count = -1;
    std::vector<std::string> expected;
    const char *save = nullptr;
};

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

bool parse(int argc, char *argv[], Options &options)
{
    if (argc < 5)
        return false;
    options.target.sin_family = AF_INET;
    options.target.sin_port = htons(std::uint16_t(std::atoi(argv[2])));
    if (inet_pton(AF_INET, argv[1], &options.target.sin_addr) != 1
        || (ntohl(options.target.sin_addr.s_addr) >> 24) != 127)
        return false;
    options.connections = std::atoi(argv[3]);
    options.seconds = std::atof(argv[4]);
    for (int i = 5; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--rate") == 0)
            options.rate = std::atof(argv[i + 1]);
        else if (std::strcmp(argv[i], "--count") == 0)
            options.count = std::atol(argv[i + 1]);
        else if (std::strcmp(argv[i], "--expect") == 0)
            options.expected.emplace_back(argv[i + 1]);
        else if (std::strcmp(argv[i], "--save") == 0)
            options.save = argv[i + 1];
        else
            return false;
    }
    return options.connections > 0 && options.seconds > 0 && options.rate >= 0;
}

class Wave
{
public:
    explicit Wave(const Options &options)
        : options(options)
        , exchanges(size_t(options.connections))
        , matched(options.expected.size(), 0)
        , poller(epoll_create1(EPOLL_CLOEXEC))
    {
        for (size_t slot = exchanges.size(); slot > 0; --slot)
            freeSlots.push_back(slot - 1);
    }

    void run()
    {
        begin = Clock::now();
        end = begin
            + std::chrono::duration_cast<Clock::duration>(
                  std::chrono::duration<double>(options.seconds));
        std::vector<epoll_event> events(1024);
        while (startDue() || freeSlots.size() < exchanges.size()) {
            const int ready = epoll_wait(poller, events.data(), int(events.size()), 1);
            for (int i = 0; i < ready; ++i)
                handle(events[size_t(i)].data.u64, events[size_t(i)].events);
            expireHung();
        }
        finished = Clock::now();
    }

    void print()
    {
        std::sort(latencies.begin(), latencies.end());
        const auto percentile = [this](double p) {
            return latencies.empty()
                ? 0.0
                : latencies[std::min(latencies.size() - 1, size_t(p * double(latencies.size())))];
        };
        const double elapsed = seconds(finished - begin);
        std::printf("exchanges=%zu\nfailures=%ld\nseconds=%.3f\nper_second=%.0f\np50_ms=%.2f\n"
                    "p99_ms=%.2f\n",
                    latencies.size(), failures, elapsed, double(latencies.size()) / elapsed,
                    percentile(0.5) * 1000, percentile(0.99) * 1000);
        for (size_t i = 0; i < matched.size(); ++i)
            std::printf("matched.%zu=%ld\n", i, matched[i]);
        if (!options.expected.empty())
            std::printf("unmatched=%ld\n", unmatched);
    }

private:
    // Starts what is due; false once nothing more will start.
    bool startDue()
    {
        const Clock::time_point now = Clock::now();
        if (now >= end || (options.count >= 0 && started >= options.count))
            return false;
        while (!freeSlots.empty() && (options.count < 0 || started < options.count)) {
            Clock::time_point due = now;
            if (options.rate > 0) {
                due = begin
                    + std::chrono::duration_cast<Clock::duration>(
                          std::chrono::duration<double>(double(started) / options.rate));
                if (due > now)
                    break;
            }
            const size_t slot = freeSlots.back();
            freeSlots.pop_back();
            ++started;
            if (!open(slot, due)) {
                ++failures;
                freeSlots.push_back(slot);
                break;
            }
        }
        return true;
    }

    bool open(size_t slot, Clock::time_point due)
    {
        Exchange &exchange = exchanges[slot];
        exchange = Exchange();
        exchange.due = due;
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in local = {};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl((127u << 24) | (1u << 8) | (1 + source++ % 64));
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0
            || (connect(fd, reinterpret_cast<const sockaddr *>(&options.target),
                        sizeof options.target)
                    != 0
                && errno != EINPROGRESS)) {
            if (fd >= 0)
                close(fd);
            return false;
        }
        exchange.fd = fd;
        epoll_event event = {};
        event.events = EPOLLOUT;
        event.data.u64 = slot;
        epoll_ctl(poller, EPOLL_CTL_ADD, fd, &event);
        return true;
    }

    void handle(size_t slot, std::uint32_t events)
    {
        Exchange &exchange = exchanges[slot];
        if (exchange.fd < 0)
            return;
        if (!exchange.sent) {
            exchange.sent = send(exchange.fd, query, sizeof query - 1, MSG_NOSIGNAL)
                == ssize_t(sizeof query - 1);
            if (!exchange.sent) {
                finish(slot, false);
                return;
            }
            epoll_event event = {};
            event.events = EPOLLIN | EPOLLRDHUP;
            event.data.u64 = slot;
            epoll_ctl(poller, EPOLL_CTL_MOD, exchange.fd, &event);
            if (!(events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)))
                return;
        }
        char buffer[65536];
        for (;;) {
            const ssize_t got = recv(exchange.fd, buffer, sizeof buffer, 0);
            if (got > 0) {
                exchange.reply.append(buffer, size_t(got));
                continue;
            }
            if (got == 0)
                finish(slot, true);
            else if (errno != EAGAIN)
                // A server that closes without reading the query resets the connection after
                // its reply: what arrived counts.
                finish(slot, errno == ECONNRESET);
            return;
        }
    }

    void finish(size_t slot, bool ok)
    {
        Exchange &exchange = exchanges[slot];
        close(exchange.fd);
        exchange.fd = -1;
        freeSlots.push_back(slot);
        if (!ok || exchange.reply.empty()) {
            ++failures;
            return;
        }
        latencies.push_back(seconds(Clock::now() - exchange.due));
        if (options.save) {
            if (FILE *file = std::fopen(options.save, "wb")) {
                std::fwrite(exchange.reply.data(), 1, exchange.reply.size(), file);
                std::fclose(file);
            }
            options.save = nullptr;
        }
        const auto hit = std::find_if(options.expected.begin(), options.expected.end(),
                                      [&](const std::string &text) {
                                          return exchange.reply.find(text) != std::string::npos;
                                      });
        if (hit == options.expected.end())
            ++unmatched;
        else
            ++matched[size_t(hit - options.expected.begin())];
    }

    // Exchanges that hang are failures, and free their slot.
    void expireHung()
    {
        const Clock::time_point now = Clock::now();
        if (seconds(now - lastExpiry) < 0.1)
            return;
        lastExpiry = now;
        for (size_t slot = 0; slot < exchanges.size(); ++slot) {
            if (exchanges[slot].fd >= 0 && seconds(now - exchanges[slot].due) > exchangeLimit)
                finish(slot, false);
        }
    }

    Options options;
    std::vector<Exchange> exchanges;
    std::vector<size_t> freeSlots;
    std::vector<double> latencies;
    std::vector<long> matched;
    long unmatched = 0;
    long failures = 0;
    long started = 0;
    unsigned source = 0;
    int poller;
    Clock::time_point begin;
    Clock::time_point end;
    Clock::time_point finished;
    Clock::time_point lastExpiry;
};

} // namespace

int main(int argc, char *argv[])
{
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: vorn-bench-load ADDRESS PORT CONNECTIONS SECONDS [--rate R] "
                     "[--count N] [--expect TEXT]... [--save FILE]\n");
        return 2;
    }
    // Every connection takes a descriptor.
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    Wave wave(options);
    wave.run();
    wave.print();
    return 0;
}
