#ifndef SERVERTHREAD_H
#define SERVERTHREAD_H

#include <QString>
#include <QThread>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

class Server;

// An event loop of the server's beside the main thread's: a thread of its own that makes its
// server, lets it listen, and runs its events until it is told to quit. The server is made and
// deleted on the thread, where its sockets and timers live.
class ServerThread : public QThread
{
    Q_OBJECT

public:
    // Run on the thread: a server that listens, or null with *error.
    using Make = std::function<std::unique_ptr<Server>(QString *error)>;

    explicit ServerThread(Make make, QObject *parent = nullptr);
    // Quits the thread's event loop, whose server goes with it.
    ~ServerThread() override;

    // Starts the thread and waits until its server listens; null with *error when it does not.
    Server *startServer(QString *error);

protected:
    void run() override;

private:
    Make make;
    std::mutex mutex;
    std::condition_variable madeCondition;
    bool made = false;
    Server *server = nullptr;
    QString error;
};

#endif // SERVERTHREAD_H
