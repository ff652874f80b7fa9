#ifndef ADDRESSBOUND_H
#define ADDRESSBOUND_H

#include <QHash>
#include <QHostAddress>

#include <mutex>

// The connections served at once from each client address, counted for all the event loops
// together: the kernel spreads one address's clients over the loops' listening sockets.
class AddressBound
{
public:
    // 0: no bound, for a server whose clients all come through a load balancer.
    explicit AddressBound(int maximumPerAddress)
        : maximum(maximumPerAddress)
    { }
    AddressBound(const AddressBound &) = delete;
    AddressBound &operator=(const AddressBound &) = delete;

    // Counts one more connection from the address; false, counting nothing, when it has its
    // share already.
    bool admit(const QHostAddress &address);
    // One connection from the address has ended.
    void release(const QHostAddress &address);

private:
    const int maximum;
    std::mutex mutex;
    QHash<QHostAddress, int> counts;
};

#endif // ADDRESSBOUND_H
