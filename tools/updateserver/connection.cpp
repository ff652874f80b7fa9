#include "connection.h"

#include "replywriter.h"

#include <QDateTime>
#include <QTcpSocket>

#include <cstdio>

Connection::Connection(QTcpSocket *socket, std::shared_ptr<const Catalogue> catalogue,
                       qsizetype maximumQuerySize, QObject *parent)
    : QObject(parent)
    , socket(socket)
    , catalogue(std::move(catalogue))
    , query(maximumQuerySize)
    , peer(QStringLiteral("%1:%2").arg(socket->peerAddress().toString()).arg(socket->peerPort()))
{
    duration.start();
    socket->setParent(this);
    connect(socket, &QTcpSocket::readyRead, this, &Connection::dataReceived);
    // A client that reads its reply slowly is not idle.
    connect(socket, &QTcpSocket::bytesWritten, this, [this] { lastActivity = duration.elapsed(); });
    connect(socket, &QTcpSocket::disconnected, this, &Connection::socketDisconnected);
    dataReceived();
}

void Connection::closeIfIdle(qint64 idleMs)
{
    if (!finished && duration.elapsed() - lastActivity >= idleMs)
        drop(QStringLiteral("idle, closed"));
}

void Connection::dataReceived()
{
    if (finished)
        return;
    lastActivity = duration.elapsed();
    switch (query.append(socket->readAll())) {
    case QueryParser::Incomplete:
        break;
    case QueryParser::TooLarge:
        drop(QStringLiteral("query too large, closed"));
        break;
    case QueryParser::Complete: {
        ReplyWriter reply(*catalogue);
        socket->write(reply.write(query.components()));
        finish(reply.summary());
        socket->disconnectFromHost();
        break;
    }
    }
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
    std::fprintf(stderr, "%s %s %lld ms %s\n",
                 qUtf8Printable(QDateTime::currentDateTimeUtc().toString(Qt::ISODate)),
                 qUtf8Printable(peer), duration.elapsed(), qUtf8Printable(outcome));
}

void Connection::drop(const QString &outcome)
{
    finish(outcome);
    socket->abort();
    deleteLater();
}
