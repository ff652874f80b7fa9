#ifndef REPLYSERVER_H
#define REPLYSERVER_H

#include <QByteArray>
#include <QSemaphore>
#include <QThread>

// An update server on 127.0.0.1:443 in a thread of its own, since the update check blocks the
// main thread. It answers the first query with the reply, signed as the reference server signs
// it with the build's reply key (when it has one), written in pieces of the given size (0: all
// at once) each sent on its own, and closes the connection.
class ReplyServer : public QThread
{
    Q_OBJECT

public:
    ReplyServer(const QByteArray &reply, int pieceSize);
    ~ReplyServer() override;

    // Starts the thread; false when the port cannot be bound.
    bool listen();
    // Number of separate writes the reply took.
    int writes() const { return writeCount; }

protected:
    void run() override;

private:
    QByteArray reply;
    // Of the reply without its signature, taken once: only the nonce differs between exchanges.
    QByteArray replySha256;
    int pieceSize;
    bool listening = false;
    int writeCount = 0;
    QSemaphore started;
};

#endif // REPLYSERVER_H
