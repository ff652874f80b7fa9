#include "replyserver.h"

#include "digest.h"
#include "ed25519.h"
#include "queryparser.h"
#include "replysignature.h"

#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>

#include <memory>

namespace {

const int waitMs = 30000;

QByteArray replySeed()
{
    QFile key(QStringLiteral(BENCH_REPLY_KEY));
    return key.open(QIODevice::ReadOnly)
        ? QByteArray::fromBase64(key.readAll().split('\n').value(2))
        : QByteArray();
}

} // namespace

ReplyServer::ReplyServer(const QByteArray &reply, int pieceSize)
    : reply(reply)
    , replySha256(Digest::of(Digest::Sha256, reply).bytes())
    , pieceSize(pieceSize)
{ }

ReplyServer::~ReplyServer()
{
    wait();
}

bool ReplyServer::listen()
{
    start();
    started.acquire();
    return listening;
}

void ReplyServer::run()
{
    QTcpServer server;
    listening = server.listen(QHostAddress::LocalHost, 443);
    started.release();
    if (!listening || !server.waitForNewConnection(waitMs))
        return;
    std::unique_ptr<QTcpSocket> socket(server.nextPendingConnection());
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    QueryParser query(1 << 20);
    while (!query.append(socket->readAll()) && !query.isComplete()
           && socket->waitForReadyRead(waitMs)) { }
    QByteArray reply = this->reply;
    const QByteArray seed = replySeed();
    if (!seed.isEmpty()) {
        const QByteArray statement = ReplySignature::statementOf(
            ReplySignature::nonceIn(query.prefix()),
            Digest::of(Digest::Sha256, query.query()).bytes(), replySha256);
        const QByteArray signature = Ed25519::sign(
            seed, reinterpret_cast<const unsigned char *>(statement.constData()), statement.size());
        reply = ReplySignature::withSignature(reply, signature);
    }

    const qsizetype step = pieceSize > 0 ? pieceSize : reply.size();
    for (qsizetype at = 0; at < reply.size(); at += step) {
        socket->write(reply.constData() + at, qMin(step, reply.size() - at));
        // Each piece leaves in its own send, not gathered with the next.
        while (socket->bytesToWrite() > 0 && socket->waitForBytesWritten(waitMs)) { }
        ++writeCount;
    }
    socket->disconnectFromHost();
    if (socket->state() != QAbstractSocket::UnconnectedState)
        socket->waitForDisconnected(waitMs);
}
