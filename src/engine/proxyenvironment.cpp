#include "proxyenvironment.h"

#include "proxybypass.h"

#include <QStringList>
#include <QUrl>

namespace {

QString variable(const QString &name)
{
    const QString lower = qEnvironmentVariable(name.toLatin1().constData()).trimmed();
    return lower.isEmpty() ? qEnvironmentVariable(name.toUpper().toLatin1().constData()).trimmed()
                           : lower;
}

} // namespace

QNetworkProxy ProxyEnvironment::forDownloads(const QString &host, quint16 port)
{
    return named(host, port, {QStringLiteral("http_proxy")});
}

QNetworkProxy ProxyEnvironment::forExchange(const QString &host, quint16 port)
{
    return named(host, port, {QStringLiteral("https_proxy"), QStringLiteral("all_proxy")});
}

QNetworkProxy ProxyEnvironment::named(const QString &host, quint16 port,
                                      const QStringList &variables)
{
    QString setting;
    for (const QString &name : variables) {
        setting = variable(name);
        if (!setting.isEmpty())
            break;
    }
    if (setting.isEmpty() || ProxyBypass(variable(QStringLiteral("no_proxy"))).matches(host, port))
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
