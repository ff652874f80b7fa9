#include "connection.h"

#include "replywriter.h"

#include <QDateTime>
#include <QTcpSocket>

#include <cstdio>

Connection::Connection(QTcpSocket *socket, const Catalogue &catalogue, qsizetype maximumQuerySize,
                       int idleTimeoutMs, QObject *parent)
    : QObject(parent)
    , socket(socket)
    , catalogue(catalogue)
    , query(maximumQuerySize)
    , peer(QStringLiteral("%1:%2").arg(socket->peerAddress().toString()).arg(socket->peerPort()))
{
    socket->setParent(this);
    idleTimer.setSingleShot(true);
    idleTimer.setInterval(idleTimeoutMs);
    connect(&idleTimer, &QTimer::timeout, this, &Connection::idleTimedOut);
    connect(socket, &QTcpSocket::readyRead, this, &Connection::dataReceived);
    // A client that reads its reply slowly is not idle.
    connect(socket, &QTcpSocket::bytesWritten, &idleTimer, qOverload<>(&QTimer::start));
    connect(socket, &QTcpSocket::disconnected, this, &Connection::socketDisconnected);
    idleTimer.start();
    dataReceived();
}

void Connection::dataReceived()
{
    if (finished)
        return;
    idleTimer.start();
    switch (query.append(socket->readAll())) {
    case QueryParser::Incomplete:
        break;
    case QueryParser::TooLarge:
        drop(QStringLiteral("query too large, closed"));
        break;
    case QueryParser::Complete: {
        ReplyWriter reply(catalogue);
        socket->write(reply.write(query.components()));
        finish(reply.summary());
        socket->disconnectFromHost();
        break;
    }
    }
}

void Connection::idleTimedOut()
{
    drop(QStringLiteral("idle, closed"));
}

void Connection::socketDisconnected()
{
    finish(QStringLiteral("closed by the client before a complete query"));
    deleteLater();
}

void Connection::finish(const QString &outcome)
{
    if (finished)
        return;
    finished = true;
    std::fprintf(stderr, "%s %s %s\n",
                 qUtf8Printable(QDateTime::currentDateTimeUtc().toString(Qt::ISODate)),
                 qUtf8Printable(peer), qUtf8Printable(outcome));
}

void Connection::drop(const QString &outcome)
{
    finish(outcome);
    socket->abort();
    deleteLater();
}
