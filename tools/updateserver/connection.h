#ifndef CONNECTION_H
#define CONNECTION_H

#include "filedescriptor.h"
#include "queryparser.h"
#include "replysigner.h"
#include "replywriter.h"
#include "socketwatcher.h"

#include <QElapsedTimer>
#include <QHostAddress>

#include <memory>
#include <optional>

class Catalogue;
class Rollouts;
class ServerMetrics;
class SigningKey;
class SocketCloser;

// One client on its own socket descriptor: reads its query, writes one reply as fast as the
// client takes it, and closes. A client that sends an install report instead gets "<ok/>" once
// it has sent it whole, or nothing when it is refused. A plain descriptor, not a QTcpSocket: the
// exchange is one query and one reply, and Qt's socket objects cost more than the exchange. Not
// a QObject either, for the same reason: its owner deletes it once it has ended.
class Connection final : private SocketWatcher::Client, private ReplySigner::Client
{
public:
    // Told when an exchange is over and its socket handed to the closer. Not a signal: a
    // connection made and connected for each exchange showed in a busy server's profile.
    class Owner
    {
    public:
        // The owner deletes the connection once its call backs are over: after the signatures
        // of the event loop's pass, which it may still be told of.
        virtual void connectionEnded(Connection *connection) = 0;
        // False when the client's address has sent its share of install reports.
        virtual bool admitReport(const QHostAddress &peer) = 0;

    protected:
        ~Owner() = default;
    };

    // The catalogue answers this exchange and the reply key (if any) signs it, however often
    // they are replaced meanwhile. Takes the connected, non-blocking descriptor.
    Connection(int descriptor, const QHostAddress &peerAddress, quint16 peerPort,
               std::shared_ptr<const Catalogue> catalogue,
               std::shared_ptr<const SigningKey> replyKey, ReplySigner *signer,
               SocketCloser *closer, SocketWatcher *watcher, Rollouts *rollouts,
               ServerMetrics *metrics, qsizetype maximumQuerySize, int maximumComponents,
               Owner *owner);

    // Reads what the client has sent already, the rest as it comes. The exchange may end here.
    void start();

    // Whether the exchange has lasted that long and is not over. The server asks every
    // connection now and then: a timer each would cost more than the exchange.
    bool isLate(qint64 deadlineMs) const { return !finished && duration.elapsed() >= deadlineMs; }
    // Closes the connection once it is late, whatever it is doing.
    void closeIfLate(qint64 deadlineMs);

    // One line of the access log, and how it names the client.
    static void log(QByteArrayView peer, qint64 durationMs, const QString &outcome);
    static QByteArray peerOf(const QHostAddress &address, quint16 port);

private:
    void socketReady() override;
    void dataReceived();
    // Takes what came of a query; the rest comes as it does.
    void queryReceived(const QByteArray &bytes);
    // Takes what came of an install report, and answers it once the client has sent it all.
    void reportReceived(const QByteArray &bytes, bool complete);
    // Reads on once more of the query has come.
    void awaitQuery();
    void writeReply();
    void signatureMade(const QByteArray &signature) override;
    // Logs the exchange's outcome, once, closes the socket and tells the owner.
    void finish(const QString &outcome);
    // The same, resetting the connection instead of closing it.
    void drop(const QString &outcome);
    void end(const QString &outcome, bool reset);

    FileDescriptor socket;
    // Asked only while needed: a client that sends its query at once and takes its reply at
    // once is never watched.
    SocketWatcher *watcher;
    std::shared_ptr<const Catalogue> catalogue;
    std::shared_ptr<const SigningKey> replyKey;
    ReplySigner *signer;
    SocketCloser *closer;
    Rollouts *rollouts;
    // Null without metrics.
    ServerMetrics *metrics;
    Owner *owner;
    bool signing = false;
    // What the client sends first tells a query from an install report.
    enum Kind { Undecided, Query, Report };
    Kind kind = Undecided;
    QByteArray received;
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
