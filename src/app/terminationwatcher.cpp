#include "terminationwatcher.h"

#include <QCoreApplication>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const int watchedSignals[] = {SIGTERM, SIGHUP, SIGINT};

// Written by the handler, the only thing a signal handler may safely do here.
int writeEnd = -1;
int readEnd = -1;

void handle(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(writeEnd, &byte, 1);
}

} // namespace

void TerminationWatcher::catchSignals()
{
    int ends[2];
    if (writeEnd >= 0
        || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, ends) != 0)
        return;
    readEnd = ends[0];
    writeEnd = ends[1];
    struct sigaction action = {};
    action.sa_handler = handle;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : watchedSignals)
        ::sigaction(signal, &action, nullptr);
}

TerminationWatcher::TerminationWatcher(QObject *parent)
    : QObject(parent)
{
    catchSignals();
    if (readEnd < 0)
        return;
    notifier = std::make_unique<QSocketNotifier>(readEnd, QSocketNotifier::Read);
    connect(notifier.get(), &QSocketNotifier::activated, this, &TerminationWatcher::signalled);
}

// The handlers stay: a signal while the process ends has nothing left to stop, and must not
// end it as killed.
TerminationWatcher::~TerminationWatcher()
{
    if (writeEnd < 0)
        return;
    notifier.reset();
    const int end = writeEnd;
    writeEnd = -1;
    ::close(end);
    ::close(readEnd);
    readEnd = -1;
}

bool TerminationWatcher::hasReceived() const
{
    if (received)
        return true;
    // The notifier only speaks once the event loop runs.
    pollfd waiting {readEnd, POLLIN, 0};
    return readEnd >= 0 && ::poll(&waiting, 1, 0) > 0;
}

void TerminationWatcher::signalled()
{
    char bytes[16];
    while (::read(readEnd, bytes, sizeof bytes) > 0) { }
    received = true;
    QCoreApplication::quit();
}
