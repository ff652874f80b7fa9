#ifndef CONNECTION_H
#define CONNECTION_H

#include "filedescriptor.h"
#include "queryparser.h"
#include "replywriter.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QSocketNotifier>

#include <memory>
#include <optional>

class Catalogue;
class ReplySigner;
class SigningKey;

// One client on its own socket descriptor: reads its query, writes one reply as fast as the
// client takes it, closes, and deletes itself. A plain descriptor, not a QTcpSocket: the
// exchange is one query and one reply, and Qt's socket objects cost more than the exchange.
class Connection : public QObject
{
    Q_OBJECT

public:
    // The catalogue answers this exchange and the reply key (if any) signs it, however often
    // they are replaced meanwhile. Takes the connected, non-blocking descriptor.
    Connection(int descriptor, const QHostAddress &peerAddress, quint16 peerPort,
               std::shared_ptr<const Catalogue> catalogue,
               std::shared_ptr<const SigningKey> replyKey, ReplySigner *signer,
               qsizetype maximumQuerySize, int maximumComponents, QObject *parent);

    // Reads what the client has sent already, the rest as it comes. The exchange may end here:
    // connect to ended() first.
    void start();

    // Closes the connection once the exchange has lasted that long, whatever it is doing. The
    // server asks every connection now and then: a timer each would cost more than the
    // exchange.
    void closeIfLate(qint64 deadlineMs);

    // One line of the access log, and how it names the client.
    static void log(const QString &peer, qint64 durationMs, const QString &outcome);
    static QString peerOf(const QHostAddress &address, quint16 port);
    // Makes closing the descriptor reset the connection, so that the kernel does not go on
    // offering a client what it holds for it.
    static void resetOnClose(int descriptor);

signals:
    // The exchange is over and its socket closed; the connection goes soon after.
    void ended();

private:
    void dataReceived();
    // Reads on once more of the query has come.
    void awaitQuery();
    void writeReply();
    void signatureMade(const QByteArray &signature);
    // Logs the exchange's outcome, once, closes the socket and deletes the connection.
    void finish(const QString &outcome);
    // The same, resetting the connection instead of closing it.
    void drop(const QString &outcome);
    void end(const QString &outcome, bool reset);

    FileDescriptor socket;
    // Each made and watched only while needed: a client that sends its query at once and takes
    // its reply at once needs no notifier at all.
    std::unique_ptr<QSocketNotifier> readable;
    std::unique_ptr<QSocketNotifier> writable;
    std::shared_ptr<const Catalogue> catalogue;
    std::shared_ptr<const SigningKey> replyKey;
    ReplySigner *signer;
    bool signing = false;
    QueryParser query;
    int maximumComponents;
    std::optional<ReplyWriter> reply;
    // What the kernel did not take of the last piece.
    QByteArray unsent;
    QElapsedTimer duration;
    QHostAddress peerAddress;
    quint16 peerPort;
    bool finished = false;
};

#endif // CONNECTION_H
