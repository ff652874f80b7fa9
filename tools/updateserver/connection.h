#ifndef CONNECTION_H
#define CONNECTION_H

#include "queryparser.h"
#include "replywriter.h"

#include <QElapsedTimer>
#include <QObject>

#include <memory>
#include <optional>

class Catalogue;
class QTcpSocket;
class ReplySigner;
class SigningKey;

// One client: reads its query, writes one reply as fast as the client takes it, closes, and
// deletes itself.
class Connection : public QObject
{
    Q_OBJECT

public:
    // The catalogue answers this exchange and the reply key (if any) signs it, however often
    // they are replaced meanwhile.
    Connection(QTcpSocket *socket, std::shared_ptr<const Catalogue> catalogue,
               std::shared_ptr<const SigningKey> replyKey, ReplySigner *signer,
               qsizetype maximumQuerySize, int maximumComponents, QObject *parent);

    // Closes the connection once the exchange has lasted that long, whatever it is doing. The
    // server asks every connection now and then: a timer each would cost more than the
    // exchange.
    void closeIfLate(qint64 deadlineMs);

    // One line of the access log, and how it names the client.
    static void log(const QString &peer, qint64 durationMs, const QString &outcome);
    static QString peerOf(const QTcpSocket &socket);

private:
    void dataReceived();
    void writeReply();
    void signatureMade(const QByteArray &signature);
    void socketDisconnected();
    // Logs the exchange's outcome, once.
    void finish(const QString &outcome);
    void drop(const QString &outcome);

    QTcpSocket *socket;
    std::shared_ptr<const Catalogue> catalogue;
    std::shared_ptr<const SigningKey> replyKey;
    ReplySigner *signer;
    bool signing = false;
    QueryParser query;
    int maximumComponents;
    std::optional<ReplyWriter> reply;
    QElapsedTimer duration;
    QString peer;
    bool finished = false;
};

#endif // CONNECTION_H
