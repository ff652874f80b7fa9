#include "fakeupdateserver.h"

#include <QMutexLocker>
#include <QTcpServer>
#include <QTcpSocket>

FakeUpdateServer::FakeUpdateServer(QObject *parent)
    : QThread(parent)
{ }

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

    QTcpSocket *socket = nullptr;
    while (!socket && !stopping.loadRelaxed()) {
        if (server.waitForNewConnection(50))
            socket = server.nextPendingConnection();
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
        for (int i = 0; i < pieces.size(); ++i) {
            if (i > 0)
                msleep(pause);
            socket->write(pieces.at(i));
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
