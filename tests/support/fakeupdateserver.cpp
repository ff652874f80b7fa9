#include "fakeupdateserver.h"

#include "ed25519.h"
#include "manualclock.h"
#include "queryparser.h"
#include "replysignature.h"
#include "testfiles.h"

#include <QDeadlineTimer>
#include <QMutexLocker>
#include <QTcpServer>
#include <QTcpSocket>

FakeUpdateServer::FakeUpdateServer(QObject *parent)
    : QThread(parent)
{
    if (!buildReplySeed().isEmpty())
        signer = [](const QByteArray &reply, const QByteArray &nonce, const QByteArray &query,
                    std::optional<int> position) {
            const QByteArray signedReply
                = ReplySignature::sign(reply, buildReplySeed(), nonce, query, position);
            return signedReply.isEmpty() ? reply : signedReply;
        };
}

QByteArray FakeUpdateServer::buildReplySeed()
{
    return QByteArray::fromBase64(
        readFile(QStringLiteral(VORN_REPLY_SIGNING_KEY)).split('\n').value(2));
}

QString FakeUpdateServer::buildReplyKey()
{
    return QString::fromLatin1(Ed25519::publicKey(buildReplySeed()).toBase64());
}

QByteArray FakeUpdateServer::queryOf(const QByteArray &received)
{
    QByteArray rest = received;
    const QList<QByteArrayList> elements {{"<nonce>", "</nonce>"}, {"<position>", "</position>"}};
    for (const QByteArrayList &element : elements) {
        const qsizetype end = rest.indexOf(element.at(1));
        if (rest.startsWith(element.at(0)) && end >= 0)
            rest = rest.mid(end + element.at(1).size());
    }
    return rest;
}

QList<QByteArray> FakeUpdateServer::signedPieces(QTcpSocket *socket)
{
    QueryParser parser(1 << 20);
    QByteArray received;
    const QDeadlineTimer deadline(1000);
    bool tooLarge = false;
    while (!tooLarge && !parser.isComplete() && !deadline.hasExpired()
           && socket->state() == QAbstractSocket::ConnectedState) {
        if (socket->waitForReadyRead(50)) {
            const QByteArray more = socket->readAll();
            received += more;
            tooLarge = parser.append(more).isFailure();
        }
    }
    {
        QMutexLocker lock(&mutex);
        bytes += received;
    }
    const bool complete = parser.isComplete();
    const QByteArray prefix = complete ? parser.prefix() : received;
    const QByteArray reply = pieces.join();
    const QByteArray sent = signer(reply, ReplySignature::nonceIn(prefix), parser.query(),
                                   ReplySignature::positionIn(prefix));
    // The same pieces, the last one taking what signing added.
    QList<QByteArray> result;
    qsizetype at = 0;
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        const qsizetype size = i + 1 < pieces.size() ? pieces.at(i).size() : sent.size() - at;
        result.append(sent.mid(at, size));
        at += size;
    }
    return result;
}

FakeUpdateServer::~FakeUpdateServer()
{
    stopping.storeRelaxed(1);
    wait();
}

void FakeUpdateServer::setReply(const QList<QByteArray> &replyPieces, int pauseMs)
{
    pieces = replyPieces;
    pause = pauseMs;
}

bool FakeUpdateServer::listen()
{
    start();
    started.acquire();
    return listening;
}

QByteArray FakeUpdateServer::receivedOnceClosed(int timeoutMs)
{
    if (!closed.tryAcquire(1, timeoutMs))
        return QByteArray("(connection still open)");
    QMutexLocker lock(&mutex);
    return bytes;
}

void FakeUpdateServer::run()
{
    QTcpServer server;
    listening = server.listen(QHostAddress::LocalHost, 443);
    started.release();
    if (!listening)
        return;

    const auto nextConnection = [&] {
        QTcpSocket *next = nullptr;
        while (!next && !stopping.loadRelaxed()) {
            if (server.waitForNewConnection(50))
                next = server.nextPendingConnection();
        }
        return next;
    };
    QTcpSocket *socket = nextConnection();
    if (socket && mode == DropFirst) {
        socket->disconnectFromHost();
        socket = nextConnection();
    }
    if (!socket)
        return;

    const auto collect = [&] {
        QMutexLocker lock(&mutex);
        bytes += socket->readAll();
    };
    switch (mode) {
    case Answer:
    case AnswerAndClose:
    case DropFirst: {
        const QList<QByteArray> sent = signer && !pieces.isEmpty() ? signedPieces(socket) : pieces;
        for (int i = 0; i < sent.size(); ++i) {
            if (i > 0 && clock)
                clock->advance(pause);
            else if (i > 0)
                msleep(pause);
            socket->write(sent.at(i));
            socket->waitForBytesWritten(5000);
            socket->waitForReadyRead(0);
            collect();
        }
        if (mode == AnswerAndClose) {
            socket->disconnectFromHost();
            closed.release();
            return;
        }
        break;
    }
    case Silent:
        break;
    case Endless: {
        socket->write("<update>");
        const QByteArray filler = QByteArray("<pad/>").repeated(8192);
        while (socket->state() == QAbstractSocket::ConnectedState && !stopping.loadRelaxed()) {
            socket->write(filler);
            socket->waitForBytesWritten(1000);
            socket->waitForReadyRead(0);
            collect();
        }
        break;
    }
    }

    while (socket->state() == QAbstractSocket::ConnectedState && !stopping.loadRelaxed()) {
        socket->waitForReadyRead(50);
        collect();
    }
    collect();
    closed.release();
}
