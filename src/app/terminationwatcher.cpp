#include "terminationwatcher.h"

#include <QCoreApplication>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const int watchedSignals[] = {SIGTERM, SIGHUP, SIGINT};

// Written by the handler, the only thing a signal handler may safely do here.
int writeEnd = -1;

void handle(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(writeEnd, &byte, 1);
}

} // namespace

TerminationWatcher::TerminationWatcher(QObject *parent)
    : QObject(parent)
{
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, ends) != 0)
        return;
    readEnd = FileDescriptor(ends[0]);
    writeEnd = ends[1];
    notifier = std::make_unique<QSocketNotifier>(readEnd.get(), QSocketNotifier::Read);
    connect(notifier.get(), &QSocketNotifier::activated, this, &TerminationWatcher::signalled);

    struct sigaction action = {};
    action.sa_handler = handle;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : watchedSignals)
        ::sigaction(signal, &action, nullptr);
}

TerminationWatcher::~TerminationWatcher()
{
    if (writeEnd < 0)
        return;
    for (const int signal : watchedSignals)
        ::signal(signal, SIG_DFL);
    ::close(writeEnd);
    writeEnd = -1;
}

void TerminationWatcher::signalled()
{
    char bytes[16];
    while (::read(readEnd.get(), bytes, sizeof bytes) > 0) { }
    received = true;
    QCoreApplication::quit();
}
