#ifndef PROXYENVIRONMENT_H
#define PROXYENVIRONMENT_H

#include <QNetworkProxy>
#include <QString>

class QProcessEnvironment;

// The proxies that the usual environment variables name, read as curl and wget read them, so
// that a network that lets traffic out only through a proxy can still update. Each variable
// is read in lower case first, then in capitals:
// - http_proxy: the package downloads (plain HTTP);
// - https_proxy, else all_proxy: the exchange with the update server on port 443, tunnelled
//   with CONNECT;
// - no_proxy: hosts, domains, addresses and ranges reached directly (see ProxyBypass).
// A proxy is written "[http://][user:password@]host[:port]" (port 1080 when left out), or
// "socks5://…". Without a proxy the connection is made directly, whatever Qt's own settings.
// The downloads send the user and password of the proxy's address with every request. Qt
// answers the 407 of CONNECT once with them; where the proxy hung up after its 407, the
// exchange opens its tunnel again with them (ProxyTunnel).
class ProxyEnvironment
{
public:
    // No proxy at all.
    ProxyEnvironment() = default;
    explicit ProxyEnvironment(const QProcessEnvironment &environment);

    QNetworkProxy forDownloads(const QString &host, quint16 port) const;
    QNetworkProxy forExchange(const QString &host, quint16 port) const;

private:
    QNetworkProxy named(const QString &host, quint16 port, QString setting) const;

    QString httpProxy;
    QString httpsProxy;
    QString allProxy;
    QString noProxy;
};

#endif // PROXYENVIRONMENT_H
