#ifndef SOCKETCLOSER_H
#define SOCKETCLOSER_H

#include "filedescriptor.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

// Closes the clients' sockets in a thread of its own. Closing a TCP socket sends its FIN, takes
// the client's side of it over loopback and tears the socket down: on a busy server a fifth of
// an exchange, which the event loop spends on the other exchanges instead.
class SocketCloser
{
public:
    SocketCloser() = default;
    // Closes the sockets still waiting, then returns.
    ~SocketCloser();
    SocketCloser(const SocketCloser &) = delete;
    SocketCloser &operator=(const SocketCloser &) = delete;

    // Closes the socket soon, once the kernel holds the whole reply.
    void close(FileDescriptor socket);
    // Resets the connection soon: the kernel offers the client nothing more of what it holds.
    void reset(FileDescriptor socket);
    // Wakes the worker for the sockets given since it last looked, if it waits. Called once per
    // pass of the event loop rather than once per socket: each wake is a system call of the
    // event loop's, and one serves all the sockets of a pass.
    void wake();

private:
    struct Closing
    {
        FileDescriptor socket;
        bool reset;
    };

    void add(FileDescriptor socket, bool reset);
    void work();

    std::mutex mutex;
    std::condition_variable wakeWorker;
    std::vector<Closing> pending;
    // Whether the worker waits to be woken: under load it finds the next sockets by itself.
    bool waiting = false;
    bool stopping = false;
    // Started with the first socket.
    std::thread worker;
};

#endif // SOCKETCLOSER_H
