#ifndef FAKEUPDATESERVER_H
#define FAKEUPDATESERVER_H

#include <QAtomicInt>
#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QSemaphore>
#include <QThread>

// An update server on 127.0.0.1:443 that runs in its own thread, since the update check
// blocks the main thread while it waits. It answers the first connection with scripted pieces.
class FakeUpdateServer : public QThread
{
    Q_OBJECT

public:
    enum Behaviour {
        Answer, // write the pieces, then keep the connection open
        AnswerAndClose, // write the pieces, then close
        Silent, // accept and never answer
        Endless, // stream an element that never ends
    };

    explicit FakeUpdateServer(QObject *parent = nullptr);
    ~FakeUpdateServer() override;

    void setBehaviour(Behaviour behaviour) { mode = behaviour; }
    // Pieces of the reply, written one by one with `pause` milliseconds between them.
    void setReply(const QList<QByteArray> &replyPieces, int pauseMs = 0);

    // Starts the thread and listens; false when the port cannot be bound.
    bool listen();
    // Waits until the updater has closed its connection and returns what it sent.
    QByteArray receivedOnceClosed(int timeoutMs = 10000);

protected:
    void run() override;

private:
    Behaviour mode = Answer;
    QList<QByteArray> pieces;
    int pause = 0;
    bool listening = false;
    QSemaphore started;
    QSemaphore closed;
    QAtomicInt stopping;
    QByteArray bytes;
    QMutex mutex;
};

#endif // FAKEUPDATESERVER_H
