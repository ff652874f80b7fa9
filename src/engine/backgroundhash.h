#ifndef BACKGROUNDHASH_H
#define BACKGROUNDHASH_H

#include "digest.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

// A digest taken in a thread of its own, so that the thread that receives a body never waits
// for hashing. add() hands a copy of the bytes over and returns at once, unless the worker is
// behind by more than a few MiB: then it waits for room, so the memory held stays bounded
// however the threads are scheduled.
class BackgroundHash
{
public:
    BackgroundHash();
    ~BackgroundHash();
    BackgroundHash(const BackgroundHash &) = delete;
    BackgroundHash &operator=(const BackgroundHash &) = delete;

    // Starts a new digest; what is still queued for the last one is dropped.
    void reset(Digest::Algorithm algorithm);
    void add(const char *data, qint64 size);
    // The digest of everything added since the last reset, once the worker has caught up;
    // no digest if hashing failed.
    Digest result();

    // For tests: while set, every worker lets its queue fill to the bound before it hashes,
    // so that the receiving thread meets the longest lag hashing may have.
    static void setLaggingForTesting(bool lagging);

private:
    void work();
    // Returns with the lock held and the worker idle.
    void waitUntilIdle(std::unique_lock<std::mutex> &lock);

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<QByteArray> queue;
    // Chunks hashed already, for add() to copy into.
    std::vector<QByteArray> spare;
    qint64 queued = 0;
    bool hashing = false;
    bool stopping = false;
    // result() waits: the queue is hashed to its end, lagging or not.
    bool draining = false;
    static std::atomic_bool lagging;
    // The worker's while it is hashing; anyone's while it is idle and the queue is empty.
    Digest::Hash hash;
    // Started with the first bytes: a run that downloads nothing needs no thread.
    std::thread worker;
};

#endif // BACKGROUNDHASH_H
