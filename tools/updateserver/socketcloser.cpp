#include "socketcloser.h"

#include <utility>

#include <sys/socket.h>

SocketCloser::~SocketCloser()
{
    closeWaiting();
}

void SocketCloser::close(FileDescriptor socket)
{
    pending.push_back({std::move(socket), false});
}

void SocketCloser::reset(FileDescriptor socket)
{
    pending.push_back({std::move(socket), true});
}

void SocketCloser::closeWaiting()
{
    std::swap(closing, pending);
    for (Closing &client : closing) {
        const int descriptor = client.socket.get();
        if (client.reset) {
            const linger immediately = {1, 0};
            ::setsockopt(descriptor, SOL_SOCKET, SO_LINGER, &immediately, sizeof immediately);
        } else {
            // Bytes the client sent after its query would make the kernel reset the connection
            // on close and drop what it still holds of the reply: they are read first, up to a
            // bound that a client sending on and on cannot stretch. The kernel then delivers
            // the rest of the reply and closes.
            char discarded[4096];
            for (int read = 0;
                 read < 16 && ::recv(descriptor, discarded, sizeof discarded, MSG_DONTWAIT) > 0;
                 ++read) { }
        }
    }
    // The descriptors close here.
    closing.clear();
}
