#include "backgroundsha256.h"

namespace {

// Enough for the worker to keep up with bursts; the receiving thread waits beyond it.
const qint64 queueBound = 4 * 1024 * 1024;

} // namespace

std::atomic_bool BackgroundSha256::lagging {false};

BackgroundSha256::BackgroundSha256() = default;

BackgroundSha256::~BackgroundSha256()
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        queue.clear();
        stopping = true;
    }
    changed.notify_all();
    if (worker.joinable())
        worker.join();
}

void BackgroundSha256::reset()
{
    std::unique_lock<std::mutex> lock(mutex);
    queue.clear();
    waitUntilIdle(lock);
    queued = 0;
    draining = false;
    hash.reset();
}

void BackgroundSha256::add(const char *data, qint64 size)
{
    if (size <= 0)
        return;
    QByteArray chunk(data, size);
    std::unique_lock<std::mutex> lock(mutex);
    if (!worker.joinable())
        worker = std::thread(&BackgroundSha256::work, this);
    changed.wait(lock, [this] { return queued < queueBound; });
    queued += chunk.size();
    queue.push_back(std::move(chunk));
    changed.notify_all();
}

QByteArray BackgroundSha256::result()
{
    std::unique_lock<std::mutex> lock(mutex);
    draining = true;
    changed.notify_all();
    changed.wait(lock, [this] { return queue.empty(); });
    waitUntilIdle(lock);
    return hash.result();
}

void BackgroundSha256::setLaggingForTesting(bool lagging)
{
    BackgroundSha256::lagging = lagging;
}

void BackgroundSha256::waitUntilIdle(std::unique_lock<std::mutex> &lock)
{
    changed.wait(lock, [this] { return !hashing; });
}

void BackgroundSha256::work()
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        changed.wait(lock, [this] {
            return stopping || (!queue.empty() && (!lagging || draining || queued >= queueBound));
        });
        if (stopping)
            return;
        const QByteArray chunk = std::move(queue.front());
        queue.pop_front();
        hashing = true;
        lock.unlock();
        hash.add(chunk.constData(), chunk.size());
        lock.lock();
        hashing = false;
        queued -= chunk.size();
        changed.notify_all();
    }
}
