#include "signallistener.h"

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int pair[2] = {-1, -1};

void handle(int number)
{
    const char byte = char(number);
    // Nothing to do if the pipe is full: a signal of that kind is waiting already.
    [[maybe_unused]] const ssize_t written = ::write(pair[0], &byte, 1);
}

} // namespace

SignalListener::SignalListener(QObject *parent)
    : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return;
    ::fcntl(pair[0], F_SETFL, O_NONBLOCK);
    notifier = new QSocketNotifier(pair[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &SignalListener::readSignal);
    struct sigaction action = {};
    action.sa_handler = &handle;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : {SIGHUP, SIGTERM, SIGINT})
        ::sigaction(number, &action, nullptr);
}

SignalListener::~SignalListener()
{
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    for (const int number : {SIGHUP, SIGTERM, SIGINT})
        ::sigaction(number, &action, nullptr);
    for (int &end : pair) {
        if (end >= 0)
            ::close(end);
        end = -1;
    }
}

void SignalListener::readSignal()
{
    char byte;
    if (::read(pair[1], &byte, 1) != 1)
        return;
    if (byte == SIGHUP)
        emit reloadRequested();
    else
        emit stopRequested();
}
