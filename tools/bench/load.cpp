// A wave of update checks against a TCP server: each exchange sends one query and reads the
// reply until the server closes. Prints how many ended well, the rate and the latencies.
//
//   vorn-bench-load ADDRESS PORT CONNECTIONS SECONDS [--rate R] [--count COUNT]
//                   [--expect TEXT]... [--save FILE] [--attackers N [--attack-query FILE]]
//                   [--rollout N]
//
// Without --rate, CONNECTIONS exchanges go on at once for SECONDS (or until COUNT have
// started): the most the server answers. With --rate, R exchanges start every second, on time,
// never more than CONNECTIONS at once; an exchange's latency counts from when it was due, so
// that a server falling behind shows in it. An exchange fails when it cannot connect, is reset
// or closed before any reply, or takes longer than 10 s: each cause is counted (failures.CAUSE).
// With --rate, an exchange still due when the wave ends, CONNECTIONS waiting on the server, fails
// too (failures.unstarted): its client would have waited longer than the wave.
// A reset after a reply counts as an exchange, and in resets_after_reply: a client that reads to
// the end should see the server's FIN. With --expect, each reply is counted under the first
// TEXT it holds (matched.N), or as unmatched; --save writes the first reply to FILE.
//
// With --rollout N, each query comes as a staging updater sends it, a nonce and a random rollout
// position in front of it, and every Nth exchange is an install report of one package instead,
// sent whole and half-closed; its "<ok/>" counts as a reply.
//
// With --attackers, N hostile clients keep at it for SECONDS, a third of each kind: non-readers
// send the query in FILE (by default the wave's) with a receive buffer of 4 KiB and never
// read; drippers send "<s><update>" and then a blank every second; others send 1 MiB of a
// query that never ends. Each opens a new connection when the server has ended its last one,
// but at most one a second; their first connections open over the first 5 s. These attacks
// hold what the server has, while a flood of connections is a matter of bandwidth, which no server
// process answers (here it would only measure the loopback device and this driver). --count 0 runs
// the attackers alone, so that a second driver's wave measures the genuine checks undisturbed by
// the attackers' sends.
//
// Loopback addresses only; the wave's source addresses are spread over 127.1.0.1 to
// 127.1.4.0, the attackers' over 127.2.0.1 upwards, one each, so that a long wave never runs
// out of local ports and no address holds more than a few connections of the wave at once.
// Plain C++ and epoll: the driver must not be the bottleneck.

#include "loadoptions.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const double exchangeLimit = 10.0;
// Marks an attacker's slot in the poller's data.
const std::uint64_t attackerBit = std::uint64_t(1) << 63;
const double dripInterval = 1.0;
const double attackInterval = 1.0;
const double attackSpread = 5.0;

const std::string nonceElement = "<nonce>AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=</nonce>";
const std::string report
    = "<report version=\"1\"><package component=\"core\" project=\"vorn\" type=\"app\" "
      "from=\"1.0\" to=\"2.0\" delivery=\"patch\" outcome=\"installed\" reason=\"none\"/>"
      "</report>";

// How an exchange ended, and the failure it is without a reply.
enum class Ending { Closed, Reset, NotConnected, Late };
const char *const failureNames[] = {"closed", "reset", "connect", "late"};

struct Exchange
{
    int fd = -1;
    Clock::time_point due;
    bool sent = false;
    // What the exchange sends: a query, or with --rollout a report.
    std::string request;
    bool isReport = false;
    std::string reply;
};

struct Attacker
{
    enum Kind { NonReader, Dripper, Incomplete };
    Kind kind = NonReader;
    int fd = -1;
    std::string pending;
    Clock::time_point nextDrip;
    // When the connection opened, or when the next may open while there is none.
    Clock::time_point opened;
};

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

Clock::duration seconds(double s)
{
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

class Wave
{
public:
    explicit Wave(const LoadOptions &options)
        : options(options)
        , exchanges(size_t(options.connections))
        , attackers(size_t(options.attackers))
        , matched(options.expected.size(), 0)
        , poller(epoll_create1(EPOLL_CLOEXEC))
    {
        for (size_t slot = exchanges.size(); slot > 0; --slot)
            freeSlots.push_back(slot - 1);
        for (size_t slot = 0; slot < attackers.size(); ++slot)
            attackers[slot].kind = Attacker::Kind(slot % 3);
    }

    void run()
    {
        begin = Clock::now();
        end = begin + seconds(options.seconds);
        // Spread over the first seconds, as the exchanges' deadlines then spread them.
        for (size_t slot = 0; slot < attackers.size(); ++slot)
            attackers[slot].opened
                = begin + seconds(attackSpread * double(slot) / double(attackers.size()));
        std::vector<epoll_event> events(1024);
        while (startDue() || freeSlots.size() < exchanges.size()
               || (!attackers.empty() && Clock::now() < end)) {
            const int ready = epoll_wait(poller, events.data(), int(events.size()), 1);
            for (int i = 0; i < ready; ++i) {
                const std::uint64_t data = events[size_t(i)].data.u64;
                if (data & attackerBit)
                    handleAttacker(size_t(data & ~attackerBit), events[size_t(i)].events);
                else
                    handle(data, events[size_t(i)].events);
            }
            expireHung();
            harass();
        }
        finished = Clock::now();
        for (Attacker &attacker : attackers) {
            if (attacker.fd >= 0)
                close(attacker.fd);
        }
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
        long unstarted = 0;
        if (options.rate > 0) {
            long due = long(std::ceil(options.rate * options.seconds));
            if (options.count >= 0)
                due = std::min(due, options.count);
            unstarted = std::max(0L, due - started);
        }
        long failures = unstarted;
        for (long count : failuresBy)
            failures += count;
        std::printf("exchanges=%zu\nfailures=%ld\nseconds=%.3f\nper_second=%.0f\np50_ms=%.2f\n"
                    "p99_ms=%.2f\nresets_after_reply=%ld\n",
                    latencies.size(), failures, elapsed, double(latencies.size()) / elapsed,
                    percentile(0.5) * 1000, percentile(0.99) * 1000, resetsAfterReply);
        for (size_t i = 0; i < std::size(failureNames); ++i)
            std::printf("failures.%s=%ld\n", failureNames[i], failuresBy[i]);
        std::printf("failures.unstarted=%ld\n", unstarted);
        for (size_t i = 0; i < matched.size(); ++i)
            std::printf("matched.%zu=%ld\n", i, matched[i]);
        if (!options.expected.empty())
            std::printf("unmatched=%ld\n", unmatched);
        if (!attackers.empty())
            std::printf("attacks=%ld\nattacks_ended_by_server=%ld\n", attacks, attacksEnded);
    }

private:
    // Starts what is due; false once nothing more will start.
    bool startDue()
    {
        const Clock::time_point now = Clock::now();
        if (scheduleEnded || (options.count >= 0 && started >= options.count))
            return false;
        // What fell due before the end starts once more after it, where a slot is free: the
        // generator's own loop was late there, not the server. What finds every slot taken
        // fails as unstarted.
        scheduleEnded = now >= end;
        if (scheduleEnded && options.rate <= 0)
            return false;
        while (!freeSlots.empty() && (options.count < 0 || started < options.count)) {
            Clock::time_point due = now;
            if (options.rate > 0) {
                due = begin + seconds(double(started) / options.rate);
                if (due > now || due >= end)
                    break;
            }
            const size_t slot = freeSlots.back();
            freeSlots.pop_back();
            ++started;
            if (!open(slot, due)) {
                ++failuresBy[size_t(Ending::NotConnected)];
                freeSlots.push_back(slot);
                break;
            }
        }
        return !scheduleEnded;
    }

    bool open(size_t slot, Clock::time_point due)
    {
        Exchange &exchange = exchanges[slot];
        exchange = Exchange();
        exchange.due = due;
        if (options.reportEvery > 0) {
            exchange.isReport = started % options.reportEvery == 0;
            // A spread of positions with no pattern a share could follow.
            positions = positions * 1103515245u + 12345u;
            exchange.request = exchange.isReport ? report
                                                 : nonceElement + "<position>"
                    + std::to_string((positions >> 8) % 10000) + "</position>" + LoadOptions::query;
        }
        const int fd = connectFrom((127u << 24) | (1u << 16) | (1 + source++ % 1024), 0);
        if (fd < 0)
            return false;
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
            const std::string &query
                = exchange.request.empty() ? LoadOptions::query : exchange.request;
            exchange.sent = send(exchange.fd, query.data(), query.size(), MSG_NOSIGNAL)
                == ssize_t(query.size());
            if (!exchange.sent) {
                // Refused or timed out while connecting, or reset once connected.
                finish(slot,
                       errno == ECONNRESET || errno == EPIPE ? Ending::Reset
                                                             : Ending::NotConnected);
                return;
            }
            if (exchange.isReport)
                shutdown(exchange.fd, SHUT_WR);
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
                finish(slot, Ending::Closed);
            else if (errno != EAGAIN)
                // A server that closes without reading the query resets the connection after
                // its reply: what arrived counts.
                finish(slot, Ending::Reset);
            return;
        }
    }

    void finish(size_t slot, Ending ending)
    {
        Exchange &exchange = exchanges[slot];
        close(exchange.fd);
        exchange.fd = -1;
        freeSlots.push_back(slot);
        if (ending == Ending::NotConnected || ending == Ending::Late || exchange.reply.empty()) {
            ++failuresBy[size_t(ending)];
            return;
        }
        if (ending == Ending::Reset)
            ++resetsAfterReply;
        latencies.push_back(seconds(Clock::now() - exchange.due));
        if (options.save) {
            if (FILE *file = std::fopen(options.save, "wb")) {
                std::fwrite(exchange.reply.data(), 1, exchange.reply.size(), file);
                std::fclose(file);
            }
            options.save = nullptr;
        }
        // A report's answer is no reply to match.
        if (exchange.isReport)
            return;
        const auto hit = std::find_if(options.expected.begin(), options.expected.end(),
                                      [&](const std::string &text) {
                                          return exchange.reply.find(text) != std::string::npos;
                                      });
        if (hit == options.expected.end())
            ++unmatched;
        else
            ++matched[size_t(hit - options.expected.begin())];
    }

    // A non-blocking connection from that address, with that receive buffer (0: the default);
    // -1 when it cannot be made.
    int connectFrom(std::uint32_t address, int receiveBuffer)
    {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in local = {};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(address);
        if (fd < 0
            || (receiveBuffer > 0
                && setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer) != 0)
            || bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0
            || (connect(fd, reinterpret_cast<const sockaddr *>(&options.target),
                        sizeof options.target)
                    != 0
                && errno != EINPROGRESS)) {
            if (fd >= 0)
                close(fd);
            return -1;
        }
        return fd;
    }

    // Opens the attacker's next connection; it takes what the server sends only by not reading.
    void attack(size_t slot)
    {
        Attacker &attacker = attackers[slot];
        attacker.opened = Clock::now();
        attacker.fd = connectFrom((127u << 24) | (2u << 16) | std::uint32_t(slot + 1),
                                  attacker.kind == Attacker::NonReader ? 4096 : 0);
        if (attacker.fd < 0) {
            attacker.opened += seconds(attackInterval);
            return;
        }
        ++attacks;
        switch (attacker.kind) {
        case Attacker::NonReader:
            attacker.pending = options.attackQuery;
            break;
        case Attacker::Dripper:
            attacker.pending = "<s><update>";
            attacker.nextDrip = attacker.opened + seconds(dripInterval);
            break;
        case Attacker::Incomplete:
            attacker.pending = "<s><update>" + std::string(1024 * 1024, ' ');
            break;
        }
        watchAttacker(slot, EPOLL_CTL_ADD);
    }

    void watchAttacker(size_t slot, int operation)
    {
        epoll_event event = {};
        event.events
            = EPOLLRDHUP | (attackers[slot].pending.empty() ? 0u : std::uint32_t(EPOLLOUT));
        event.data.u64 = slot | attackerBit;
        epoll_ctl(poller, operation, attackers[slot].fd, &event);
    }

    void handleAttacker(size_t slot, std::uint32_t events)
    {
        Attacker &attacker = attackers[slot];
        if (attacker.fd < 0)
            return;
        if (!(events & (EPOLLERR | EPOLLHUP | EPOLLRDHUP)) && sendPending(slot))
            return;
        // The server ended it: the attacker comes back.
        close(attacker.fd);
        attacker.fd = -1;
        attacker.pending.clear();
        ++attacksEnded;
        attacker.opened += seconds(attackInterval);
    }

    // Sends what the attacker has pending; false once the server has ended the connection.
    bool sendPending(size_t slot)
    {
        Attacker &attacker = attackers[slot];
        if (attacker.pending.empty())
            return true;
        const ssize_t sent
            = ::send(attacker.fd, attacker.pending.data(), attacker.pending.size(), MSG_NOSIGNAL);
        if (sent < 0)
            return errno == EAGAIN;
        attacker.pending.erase(0, size_t(sent));
        if (attacker.pending.empty())
            watchAttacker(slot, EPOLL_CTL_MOD);
        return true;
    }

    // Drippers drip, and attackers whose connection the server ended come back when due.
    void harass()
    {
        const Clock::time_point now = Clock::now();
        for (size_t slot = 0; slot < attackers.size(); ++slot) {
            Attacker &attacker = attackers[slot];
            if (attacker.fd < 0 && attacker.opened <= now)
                attack(slot);
            if (attacker.kind != Attacker::Dripper || attacker.fd < 0 || attacker.nextDrip > now)
                continue;
            attacker.nextDrip = now + seconds(dripInterval);
            attacker.pending += ' ';
            if (attacker.pending.size() == 1)
                watchAttacker(slot, EPOLL_CTL_MOD);
        }
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
                finish(slot, Ending::Late);
        }
    }

    LoadOptions options;
    std::vector<Exchange> exchanges;
    std::vector<Attacker> attackers;
    long attacks = 0;
    long attacksEnded = 0;
    std::vector<size_t> freeSlots;
    std::vector<double> latencies;
    std::vector<long> matched;
    long unmatched = 0;
    long failuresBy[std::size(failureNames)] = {};
    long resetsAfterReply = 0;
    long started = 0;
    // Set once the last exchanges due have been started, or found every slot taken.
    bool scheduleEnded = false;
    unsigned source = 0;
    unsigned positions = 1;
    int poller;
    Clock::time_point begin;
    Clock::time_point end;
    Clock::time_point finished;
    Clock::time_point lastExpiry;
};

} // namespace

int main(int argc, char *argv[])
{
    LoadOptions options;
    if (!options.parse(argc, argv)) {
        std::fprintf(stderr,
                     "usage: vorn-bench-load ADDRESS PORT CONNECTIONS SECONDS [--rate R] "
                     "[--count N] [--expect TEXT]... [--save FILE] [--attackers N "
                     "[--attack-query FILE]]\n");
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
