#ifndef PROXYTUNNEL_H
#define PROXYTUNNEL_H

#include <QByteArray>
#include <QString>

class QDeadlineTimer;
class QNetworkProxy;
class QTcpSocket;

// A CONNECT tunnel through an HTTP proxy that carries the user and password of the proxy's
// address from its first request on. Qt's own tunnel sends them only once the proxy has asked,
// on the connection that it asked on: a proxy that hangs up after its 407 never gets them.
// This one opens the new connection that such a proxy expects, as curl does.
class ProxyTunnel
{
public:
    ProxyTunnel() = delete;

    // Whether the proxy is one that this tunnel can open: an HTTP proxy with a user.
    static bool fits(const QNetworkProxy &proxy);
    // "Basic …": the user and password of the proxy's address, as Proxy-Authorization sends them.
    static QByteArray authorization(const QNetworkProxy &proxy);
    // Connects the socket to the proxy and opens the tunnel to host:port by the deadline,
    // however slowly the proxy answers; false when it does not answer 200.
    static bool open(QTcpSocket &socket, const QNetworkProxy &proxy, const QString &host,
                     quint16 port, const QDeadlineTimer &deadline);
    // Connects the socket to host:port through the proxy, waiting waitMs at most and ending by
    // the deadline; a proxy that hung up after asking for the password gets it on a new
    // connection through this tunnel.
    static bool connect(QTcpSocket &socket, const QNetworkProxy &proxy, const QString &host,
                        quint16 port, int waitMs, const QDeadlineTimer &deadline);
};

#endif // PROXYTUNNEL_H
