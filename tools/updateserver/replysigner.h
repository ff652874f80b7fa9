#ifndef REPLYSIGNER_H
#define REPLYSIGNER_H

#include <QByteArray>
#include <QObject>
#include <QPointer>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class ServerMetrics;
class SigningKey;

// Signs the replies' statements in a thread of its own: a signature costs as much as the rest
// of an exchange, and the event loop goes on with the other exchanges meanwhile. The statements
// that wait while it signs are signed together, with one signature.
class ReplySigner : public QObject
{
    Q_OBJECT

public:
    // What the reply's signature element carries (see ReplySignature::signBatch()), or empty
    // when the key could not sign.
    using Done = std::function<void(const QByteArray &signature)>;

    // The metrics (null: none) count the batches from the signer's thread.
    explicit ReplySigner(ServerMetrics *metrics, QObject *parent = nullptr);
    ~ReplySigner() override;

    // done runs on this object's thread once the statement is signed, unless receiver has gone
    // by then. The signing starts with the next wake() or once a full batch waits.
    void sign(std::shared_ptr<const SigningKey> key, const QByteArray &statement, QObject *receiver,
              Done done);
    // Wakes the worker for the statements given since it last looked. Called once per pass of
    // the event loop rather than once per reply: each wake is a system call of the event
    // loop's, and the statements of a pass are signed together.
    void wake();

private:
    struct Job
    {
        std::shared_ptr<const SigningKey> key;
        QByteArray statement;
        QPointer<QObject> receiver;
        Done done;
    };

    void work();

    ServerMetrics *metrics;
    std::mutex mutex;
    std::condition_variable wakeWorker;
    std::deque<Job> jobs;
    // Whether the worker waits for any job at all.
    bool idle = false;
    bool stopping = false;
    // Started with the first job: a server without a reply key needs no thread.
    std::thread worker;
};

#endif // REPLYSIGNER_H
