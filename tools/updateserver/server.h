#ifndef SERVER_H
#define SERVER_H

#include <QObject>
#include <QTcpServer>
#include <QTimer>

#include <memory>

class Catalogue;

// Accepts clients and gives each its own connection; keeps no state between exchanges. At most
// maximumConnections are served at once: beyond that, new clients wait in the listen backlog.
class Server : public QObject
{
    Q_OBJECT

public:
    struct Limits
    {
        qsizetype maximumQuerySize = 1024 * 1024;
        int idleTimeoutMs = 30000;
        int maximumConnections = 4096;
    };

    Server(std::shared_ptr<const Catalogue> catalogue, const Limits &limits,
           QObject *parent = nullptr);

    bool listen(const QHostAddress &address, quint16 port);
    QString errorString() const { return tcpServer.errorString(); }
    quint16 serverPort() const { return tcpServer.serverPort(); }

    // Exchanges that start from now on are answered from this catalogue; those under way keep
    // the one they started with.
    void setCatalogue(std::shared_ptr<const Catalogue> published);
    int connectionCount() const { return connections; }
    // Stops listening; drained() follows once the exchanges under way have ended.
    void drain();

signals:
    void drained();

private:
    void newConnection();
    void connectionEnded();
    void closeIdleConnections();

    QTcpServer tcpServer;
    QTimer idleSweep;
    std::shared_ptr<const Catalogue> catalogue;
    Limits limits;
    int connections = 0;
    bool draining = false;
};

#endif // SERVER_H
