#ifndef SERVER_H
#define SERVER_H

#include <QObject>
#include <QTcpServer>

class Catalogue;

// Accepts clients and gives each its own connection; keeps no state between exchanges.
class Server : public QObject
{
    Q_OBJECT

public:
    Server(const Catalogue &catalogue, qsizetype maximumQuerySize, int idleTimeoutMs,
           QObject *parent = nullptr);

    bool listen(const QHostAddress &address, quint16 port);
    QString errorString() const { return tcpServer.errorString(); }
    quint16 serverPort() const { return tcpServer.serverPort(); }

private:
    void newConnection();

    QTcpServer tcpServer;
    const Catalogue &catalogue;
    qsizetype maximumQuerySize;
    int idleTimeoutMs;
};

#endif // SERVER_H
