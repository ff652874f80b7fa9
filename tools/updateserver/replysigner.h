#ifndef REPLYSIGNER_H
#define REPLYSIGNER_H

#include <QByteArray>

#include <chrono>
#include <memory>
#include <vector>

class ServerMetrics;
class SigningKey;

// Signs the replies' statements that wait together, with one signature, at the end of a pass of
// the event loop. On the event loop's own thread: with a loop per core, handing the
// statements to a thread of their own and the signatures back cost more in switches between
// threads than the signatures themselves.
//
// A loop signs at most once in each holdTime, unless a full batch waits: a signature costs more
// than the rest of an exchange, and at a steady 12,000 checks a second each pass held about two
// replies, so that the signatures took a third of the server's time. A reply waits at most
// holdTime for its signature (the event loop's timers count whole milliseconds: at worst about
// twice that); the first after a quiet spell is signed at once.
class ReplySigner
{
public:
    class Client
    {
    public:
        // What the reply's signature element carries (see ReplySignature::signBatch()), or
        // empty when the key could not sign.
        virtual void signatureMade(const QByteArray &signature) = 0;

    protected:
        ~Client() = default;
    };

    // The metrics (null: none) count the batches.
    explicit ReplySigner(ServerMetrics *metrics);
    ReplySigner(const ReplySigner &) = delete;
    ReplySigner &operator=(const ReplySigner &) = delete;

    // The client is told with the next signWaiting(), and must outlive it. Not a receiver
    // guarded for each reply: the guard's allocation showed in a busy server's profile.
    void sign(std::shared_ptr<const SigningKey> key, const QByteArray &statement, Client *client);
    static constexpr std::chrono::microseconds holdTime {1000};

    // Signs the statements given since the last signature, if a batch is full or holdTime has
    // passed since then. Called at the end of each pass of the event loop. Returns how long the
    // statements left waiting wait; zero when none do.
    std::chrono::microseconds signWaiting();

private:
    struct Job
    {
        std::shared_ptr<const SigningKey> key;
        QByteArray statement;
        Client *client;
    };

    // Signs the batch's statements, those with the same key together, and tells each client.
    void signBatch();

    ServerMetrics *metrics;
    std::chrono::steady_clock::time_point lastSigned;
    std::vector<Job> jobs;
    // Kept from one pass to the next with the jobs', so that neither allocates.
    std::vector<Job> batch;
};

#endif // REPLYSIGNER_H
