#include "backgroundhash.h"

#include <cstring>

namespace {

// Enough for the worker to keep up with bursts; the receiving thread waits beyond it.
const qint64 queueBound = 4 * 1024 * 1024;
// Hashed chunks kept for the next bytes: copied into memory already mapped, the bytes cost no
// page faults, which took more time than the copy itself.
const std::size_t spareChunks = 32;

} // namespace

std::atomic_bool BackgroundHash::lagging {false};

BackgroundHash::BackgroundHash() = default;

BackgroundHash::~BackgroundHash()
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

void BackgroundHash::reset(Digest::Algorithm algorithm)
{
    std::unique_lock<std::mutex> lock(mutex);
    queue.clear();
    waitUntilIdle(lock);
    queued = 0;
    draining = false;
    hash.reset(algorithm);
}

void BackgroundHash::add(const char *data, qint64 size)
{
    if (size <= 0)
        return;
    std::unique_lock<std::mutex> lock(mutex);
    if (!worker.joinable())
        worker = std::thread(&BackgroundHash::work, this);
    changed.wait(lock, [this] { return queued < queueBound; });
    QByteArray chunk;
    if (!spare.empty()) {
        chunk = std::move(spare.back());
        spare.pop_back();
    }
    // Only this thread adds, so the room waited for stays while the bytes are copied.
    lock.unlock();
    chunk.resize(size);
    std::memcpy(chunk.data(), data, size_t(size));
    lock.lock();
    queued += chunk.size();
    queue.push_back(std::move(chunk));
    changed.notify_all();
}

Digest BackgroundHash::result()
{
    std::unique_lock<std::mutex> lock(mutex);
    draining = true;
    changed.notify_all();
    changed.wait(lock, [this] { return queue.empty(); });
    waitUntilIdle(lock);
    return hash.result();
}

void BackgroundHash::setLaggingForTesting(bool lagging)
{
    BackgroundHash::lagging = lagging;
}

void BackgroundHash::waitUntilIdle(std::unique_lock<std::mutex> &lock)
{
    changed.wait(lock, [this] { return !hashing; });
}

void BackgroundHash::work()
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        changed.wait(lock, [this] {
            return stopping || (!queue.empty() && (!lagging || draining || queued >= queueBound));
        });
        if (stopping)
            return;
        QByteArray chunk = std::move(queue.front());
        queue.pop_front();
        hashing = true;
        lock.unlock();
        hash.add(chunk.constData(), chunk.size());
        lock.lock();
        hashing = false;
        queued -= chunk.size();
        if (spare.size() < spareChunks)
            spare.push_back(std::move(chunk));
        changed.notify_all();
    }
}
