#ifndef CONNECTION_H
#define CONNECTION_H

#include "queryparser.h"

#include <QObject>
#include <QTimer>

class Catalogue;
class QTcpSocket;

// One client: reads its query, writes one reply, closes, and deletes itself.
class Connection : public QObject
{
    Q_OBJECT

public:
    Connection(QTcpSocket *socket, const Catalogue &catalogue, qsizetype maximumQuerySize,
               int idleTimeoutMs, QObject *parent);

private:
    void dataReceived();
    void idleTimedOut();
    void socketDisconnected();
    // Logs the exchange's outcome, once.
    void finish(const QString &outcome);
    void drop(const QString &outcome);

    QTcpSocket *socket;
    const Catalogue &catalogue;
    QueryParser query;
    QTimer idleTimer;
    QString peer;
    bool finished = false;
};

#endif // CONNECTION_H
