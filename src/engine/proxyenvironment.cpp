#include "proxyenvironment.h"

#include "proxybypass.h"

#include <QProcessEnvironment>
#include <QUrl>

namespace {

QString variable(const QProcessEnvironment &environment, const QString &name)
{
    const QString lower = environment.value(name).trimmed();
    return lower.isEmpty() ? environment.value(name.toUpper()).trimmed() : lower;
}

} // namespace

ProxyEnvironment::ProxyEnvironment(const QProcessEnvironment &environment)
    : httpProxy(variable(environment, QStringLiteral("http_proxy")))
    , httpsProxy(variable(environment, QStringLiteral("https_proxy")))
    , allProxy(variable(environment, QStringLiteral("all_proxy")))
    , noProxy(variable(environment, QStringLiteral("no_proxy")))
{ }

QNetworkProxy ProxyEnvironment::forDownloads(const QString &host, quint16 port) const
{
    return named(host, port, httpProxy);
}

QNetworkProxy ProxyEnvironment::forExchange(const QString &host, quint16 port) const
{
    return named(host, port, httpsProxy.isEmpty() ? allProxy : httpsProxy);
}

QNetworkProxy ProxyEnvironment::named(const QString &host, quint16 port, QString setting) const
{
    if (setting.isEmpty() || ProxyBypass(noProxy).matches(host, port))
        return QNetworkProxy(QNetworkProxy::NoProxy);
    if (!setting.contains(QLatin1String("://")))
        setting.prepend(QLatin1String("http://"));
    const QUrl url(setting, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    QNetworkProxy::ProxyType type = QNetworkProxy::HttpProxy;
    if (scheme == QLatin1String("socks5") || scheme == QLatin1String("socks5h"))
        type = QNetworkProxy::Socks5Proxy;
    else if (scheme != QLatin1String("http"))
        return QNetworkProxy(QNetworkProxy::NoProxy);
    if (!url.isValid() || url.host().isEmpty())
        return QNetworkProxy(QNetworkProxy::NoProxy);
    return QNetworkProxy(type, url.host(), quint16(url.port(1080)), url.userName(), url.password());
}
