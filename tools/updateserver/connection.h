#ifndef CONNECTION_H
#define CONNECTION_H

#include "queryparser.h"

#include <QElapsedTimer>
#include <QObject>

#include <memory>

class Catalogue;
class QTcpSocket;

// One client: reads its query, writes one reply, closes, and deletes itself.
class Connection : public QObject
{
    Q_OBJECT

public:
    // The catalogue answers this exchange, however often it is replaced meanwhile.
    Connection(QTcpSocket *socket, std::shared_ptr<const Catalogue> catalogue,
               qsizetype maximumQuerySize, QObject *parent);

    // Closes the connection when it has sent and taken nothing for that long. The server asks
    // every connection now and then: a timer each would cost more than the exchange.
    void closeIfIdle(qint64 idleMs);

private:
    void dataReceived();
    void socketDisconnected();
    // Logs the exchange's outcome, once.
    void finish(const QString &outcome);
    void drop(const QString &outcome);

    QTcpSocket *socket;
    std::shared_ptr<const Catalogue> catalogue;
    QueryParser query;
    // Since the connection was accepted, and when it last sent or took bytes.
    QElapsedTimer duration;
    qint64 lastActivity = 0;
    QString peer;
    bool finished = false;
};

#endif // CONNECTION_H
