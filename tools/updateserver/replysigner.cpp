#include "replysigner.h"

#include "signingkey.h"

ReplySigner::ReplySigner(QObject *parent)
    : QObject(parent)
{ }

ReplySigner::~ReplySigner()
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_one();
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
    }
    wake.notify_one();
}

void ReplySigner::work()
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        wake.wait(lock, [this] { return stopping || !jobs.empty(); });
        if (stopping)
            return;
        Job job = std::move(jobs.front());
        jobs.pop_front();
        lock.unlock();
        const QByteArray signature
            = job.key->sign(reinterpret_cast<const unsigned char *>(job.statement.constData()),
                            job.statement.size());
        // The receiver is looked at on its own thread only, where it is deleted.
        QMetaObject::invokeMethod(
            this,
            [job = std::move(job), signature] {
                if (job.receiver)
                    job.done(signature);
            },
            Qt::QueuedConnection);
        lock.lock();
    }
}
