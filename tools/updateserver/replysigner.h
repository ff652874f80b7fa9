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
    // by then.
    void sign(std::shared_ptr<const SigningKey> key, const QByteArray &statement, QObject *receiver,
              Done done);

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
    std::condition_variable wake;
    std::deque<Job> jobs;
    bool stopping = false;
    // Started with the first job: a server without a reply key needs no thread.
    std::thread worker;
};

#endif // REPLYSIGNER_H
