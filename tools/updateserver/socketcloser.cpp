#include "socketcloser.h"

#include <sys/socket.h>

SocketCloser::~SocketCloser()
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wakeWorker.notify_one();
    if (worker.joinable())
        worker.join();
}

void SocketCloser::close(FileDescriptor socket)
{
    add(std::move(socket), false);
}

void SocketCloser::reset(FileDescriptor socket)
{
    add(std::move(socket), true);
}

void SocketCloser::add(FileDescriptor socket, bool reset)
{
    const std::lock_guard<std::mutex> lock(mutex);
    if (!worker.joinable())
        worker = std::thread(&SocketCloser::work, this);
    pending.push_back({std::move(socket), reset});
}

void SocketCloser::wake()
{
    bool woken = false;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (!pending.empty())
            std::swap(woken, waiting);
    }
    if (woken)
        wakeWorker.notify_one();
}

void SocketCloser::work()
{
    // Kept from one round to the next with the pending list's, so that neither allocates.
    std::vector<Closing> closing;
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        waiting = true;
        wakeWorker.wait(lock, [this] { return stopping || !pending.empty(); });
        waiting = false;
        if (pending.empty())
            return;
        std::swap(closing, pending);
        lock.unlock();
        for (Closing &client : closing) {
            const int descriptor = client.socket.get();
            if (client.reset) {
                const linger immediately = {1, 0};
                ::setsockopt(descriptor, SOL_SOCKET, SO_LINGER, &immediately, sizeof immediately);
            } else {
                // Bytes the client sent after its query would make the kernel reset the
                // connection on close and drop what it still holds of the reply: they are read
                // first, up to a bound that a client sending on and on cannot stretch. The
                // kernel then delivers the rest of the reply and closes.
                char discarded[4096];
                for (int read = 0;
                     read < 16 && ::recv(descriptor, discarded, sizeof discarded, MSG_DONTWAIT) > 0;
                     ++read) { }
            }
        }
        closing.clear();
        lock.lock();
    }
}
