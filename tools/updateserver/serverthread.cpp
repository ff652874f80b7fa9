#include "serverthread.h"

#include "epolleventdispatcher.h"
#include "server.h"

ServerThread::ServerThread(Make make, QObject *parent)
    : QThread(parent)
    , make(std::move(make))
{
    setEventDispatcher(new EpollEventDispatcher);
}

ServerThread::~ServerThread()
{
    quit();
    wait();
}

Server *ServerThread::startServer(QString *error)
{
    start();
    std::unique_lock<std::mutex> lock(mutex);
    // A thread that could not be made (a task limit, say) is not running and never makes one.
    madeCondition.wait(lock, [this] { return made || !isRunning(); });
    *error = made ? this->error : QStringLiteral("cannot start a thread for an event loop");
    return server;
}

void ServerThread::run()
{
    QString failure;
    const std::unique_ptr<Server> listening = make(&failure);
    {
        const std::lock_guard<std::mutex> lock(mutex);
        made = true;
        server = listening.get();
        error = failure;
    }
    madeCondition.notify_one();
    if (listening)
        exec();
}
