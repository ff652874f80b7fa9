#ifndef SOCKETCLOSER_H
#define SOCKETCLOSER_H

#include "filedescriptor.h"

#include <vector>

// Closes the clients' sockets of a pass of the event loop once the pass is over, after the
// replies of the pass have left. On the event loop's own thread: with a loop per core, a
// thread of its own cost more in switches between threads than the closing itself.
class SocketCloser
{
public:
    SocketCloser() = default;
    // Closes the sockets still waiting.
    ~SocketCloser();
    SocketCloser(const SocketCloser &) = delete;
    SocketCloser &operator=(const SocketCloser &) = delete;

    // Closes the socket with the next closeWaiting(), once the kernel holds the whole reply.
    void close(FileDescriptor socket);
    // Resets the connection with the next closeWaiting(): the kernel offers the client nothing more
    // of what it holds.
    void reset(FileDescriptor socket);
    // Closes the sockets given since the last call. Called once per pass of the event loop.
    void closeWaiting();

private:
    struct Closing
    {
        FileDescriptor socket;
        bool reset;
    };

    std::vector<Closing> pending;
    // Kept from one pass to the next with the pending list's, so that neither allocates.
    std::vector<Closing> closing;
};

#endif // SOCKETCLOSER_H
