#ifndef REPORTSENDER_H
#define REPORTSENDER_H

#include "runsettings.h"

#include <QByteArray>

#include <atomic>
#include <future>

class QDeadlineTimer;

// Keeps the install reports in the user's state directory and sends them to the update server,
// each over an exchange of its own on port 443: the report, a half-close, and "<ok/>" back. A
// report is kept before it is sent and removed once the server took it, so that one the network
// or the end of the application cut short goes after the next check; only the newest few are
// kept. The sending runs in a thread of its own under one short deadline, and shows nothing.
// Without reports (the build's or the user's choice) nothing is kept or sent.
class ReportSender
{
public:
    explicit ReportSender(const RunSettings &settings);
    // Gives the sending a moment, then abandons it within a fraction of a second once
    // connected: what it did not send is kept and goes with the next check, so that the
    // application's end never waits on a server that does not answer.
    ~ReportSender();
    ReportSender(const ReportSender &) = delete;
    ReportSender &operator=(const ReportSender &) = delete;

    static constexpr int keptReports = 4;

    // Keeps the report of an installation run under way, to be queued by the next run's
    // adoptInterrupted() when this one is killed before it ends.
    void keepInterrupted(const QByteArray &document);
    // Queues the report a killed installation run left, for sendQueued().
    void adoptInterrupted();
    // Queues the report, in place of the one kept for an interruption, and sends the queue.
    void report(const QByteArray &document);
    // Sends the queued reports.
    void sendQueued();
    // Waits for the sending to end.
    void wait();

private:
    bool enabled() const;
    // Keeps the report, and drops the oldest beyond the few kept.
    void queue(const QByteArray &document) const;
    void sendAll() const;
    bool send(const QByteArray &document, const QDeadlineTimer &deadline) const;
    // The next wait of the sending: short, so that it sees when it is abandoned.
    int nextWait(const QDeadlineTimer &deadline) const;

    const RunSettings settings;
    std::atomic<bool> abandoned = false;
    std::shared_future<void> pending;
};

#endif // REPORTSENDER_H
