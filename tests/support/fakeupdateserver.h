#ifndef FAKEUPDATESERVER_H
#define FAKEUPDATESERVER_H

#include <QAtomicInt>
#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QSemaphore>
#include <QThread>

#include <functional>
#include <optional>

class ManualClock;
class QTcpSocket;

// An update server on 127.0.0.1:443 that runs in its own thread, since the update check
// blocks the main thread while it waits. It answers the first connection with scripted pieces,
// signed as the reference server signs them, with the reply key the build trusts (when it
// has one), once the query has come.
class FakeUpdateServer : public QThread
{
    Q_OBJECT

public:
    enum Behaviour {
        Answer, // write the pieces, then keep the connection open
        AnswerAndClose, // write the pieces, then close
        Silent, // accept and never answer
        Endless, // stream an element that never ends
        DropFirst, // close the first connection at once, as an idle one; answer the next
    };

    explicit FakeUpdateServer(QObject *parent = nullptr);
    ~FakeUpdateServer() override;

    void setBehaviour(Behaviour behaviour) { mode = behaviour; }
    // Pieces of the reply, written one by one with `pause` milliseconds between them.
    void setReply(const QList<QByteArray> &replyPieces, int pauseMs = 0);
    // The pauses move this clock on instead of taking time, each before the piece it precedes.
    void setClock(ManualClock *pauseClock) { clock = pauseClock; }
    // Makes the reply that is sent of the scripted one, the nonce, the query and the rollout
    // position received; null: sent as scripted, at once.
    using Signer = std::function<QByteArray(const QByteArray &reply, const QByteArray &nonce,
                                            const QByteArray &query, std::optional<int> position)>;
    void setSigner(const Signer &replySigner) { signer = replySigner; }
    // The reply key the build trusts, as the signer uses it by default: its 32-byte seed and
    // its public key in base64; empty when the build has none.
    static QByteArray buildReplySeed();
    static QString buildReplyKey();
    // The received bytes without the nonce and position elements in front of the query.
    static QByteArray queryOf(const QByteArray &received);

    // Starts the thread and listens; false when the port cannot be bound.
    bool listen();
    // Waits until the updater has closed its connection and returns what it sent.
    QByteArray receivedOnceClosed(int timeoutMs = 10000);

protected:
    void run() override;

private:
    // Reads until the query is complete, or for a second; returns the pieces to send.
    QList<QByteArray> signedPieces(QTcpSocket *socket);

    Behaviour mode = Answer;
    Signer signer;
    QList<QByteArray> pieces;
    int pause = 0;
    ManualClock *clock = nullptr;
    bool listening = false;
    QSemaphore started;
    QSemaphore closed;
    QAtomicInt stopping;
    QByteArray bytes;
    QMutex mutex;
};

#endif // FAKEUPDATESERVER_H
