#include "replysigner.h"

#include "replysignature.h"
#include "servermetrics.h"
#include "signingkey.h"

#include <chrono>
#include <vector>

namespace {

// Under load, how long the signer waits for a full batch before it signs what it has: a
// signature costs as much as a whole exchange, and a millisecond is little to a reply that has
// waited for its turn anyway.
constexpr std::chrono::microseconds gathering(1000);
constexpr size_t fullBatch = ReplySignature::maximumBatch;

} // namespace

ReplySigner::ReplySigner(ServerMetrics *metrics, QObject *parent)
    : QObject(parent)
    , metrics(metrics)
{ }

ReplySigner::~ReplySigner()
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wakeWorker.notify_one();
    if (worker.joinable())
        worker.join();
}

void ReplySigner::sign(std::shared_ptr<const SigningKey> key, const QByteArray &statement,
                       QObject *receiver, Done done)
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (!worker.joinable())
            worker = std::thread(&ReplySigner::work, this);
        jobs.push_back({std::move(key), statement, receiver, std::move(done)});
        // A worker that gathers a batch waits for a full one.
        if (jobs.size() != fullBatch)
            return;
    }
    wakeWorker.notify_one();
}

void ReplySigner::wake()
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        // A worker gathering a batch is left to it.
        if (jobs.empty() || !idle)
            return;
    }
    wakeWorker.notify_one();
}

void ReplySigner::work()
{
    std::unique_lock<std::mutex> lock(mutex);
    // Whether replies came while the last batch was signed.
    bool busy = false;
    for (;;) {
        idle = true;
        wakeWorker.wait(lock, [this] { return stopping || !jobs.empty(); });
        idle = false;
        if (busy) {
            wakeWorker.wait_for(lock, gathering,
                                [this] { return stopping || jobs.size() >= fullBatch; });
        }
        if (stopping)
            return;
        // Whatever waits with the same key is signed at once: under load, one signature serves
        // many replies, and when idle each reply is signed alone, as soon as it asks.
        std::vector<Job> batch;
        const std::shared_ptr<const SigningKey> key = jobs.front().key;
        while (!jobs.empty() && jobs.front().key == key && batch.size() < fullBatch) {
            batch.push_back(std::move(jobs.front()));
            jobs.pop_front();
        }
        lock.unlock();
        QByteArrayList statements;
        for (const Job &job : batch)
            statements << job.statement;
        const QByteArrayList signatures
            = ReplySignature::signBatch(statements, [&key](const QByteArray &text) {
                  return key->sign(reinterpret_cast<const unsigned char *>(text.constData()),
                                   text.size());
              });
        if (metrics && !signatures.isEmpty())
            metrics->batchSigned(int(batch.size()));
        // The receivers are looked at on their own thread only, where they are deleted.
        QMetaObject::invokeMethod(
            this,
            [batch = std::move(batch), signatures] {
                for (size_t at = 0; at < batch.size(); ++at) {
                    if (batch[at].receiver)
                        batch[at].done(signatures.value(qsizetype(at)));
                }
            },
            Qt::QueuedConnection);
        lock.lock();
        busy = !jobs.empty();
    }
}
