#include "proxytunnel.h"

#include <QDeadlineTimer>
#include <QNetworkProxy>
#include <QTcpSocket>

namespace {

// Far more than any proxy's answer to CONNECT; an endless one is not read on.
const qsizetype maximumAnswer = 16 * 1024;

} // namespace

bool ProxyTunnel::fits(const QNetworkProxy &proxy)
{
    return proxy.type() == QNetworkProxy::HttpProxy && !proxy.user().isEmpty();
}

QByteArray ProxyTunnel::authorization(const QNetworkProxy &proxy)
{
    return "Basic " + (proxy.user() + QLatin1Char(':') + proxy.password()).toUtf8().toBase64();
}

bool ProxyTunnel::open(QTcpSocket &socket, const QNetworkProxy &proxy, const QString &host,
                       quint16 port, const QDeadlineTimer &deadline)
{
    const auto timeoutMs = [&deadline] { return int(deadline.remainingTime()); };
    socket.setProxy(QNetworkProxy::NoProxy);
    socket.connectToHost(proxy.hostName(), proxy.port(), QIODevice::ReadWrite);
    if (!socket.waitForConnected(timeoutMs()))
        return false;
    const QByteArray target
        = (host.contains(QLatin1Char(':')) ? '[' + host.toLatin1() + ']' : host.toLatin1()) + ':'
        + QByteArray::number(port);
    socket.write("CONNECT " + target + " HTTP/1.1\r\nHost: " + target
                 + "\r\nProxy-Authorization: " + authorization(proxy) + "\r\n\r\n");
    // Byte by byte up to the blank line, so that nothing of the tunnel's own data is taken.
    QByteArray answer;
    while (!answer.endsWith("\r\n\r\n")) {
        if (answer.size() > maximumAnswer
            || (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(timeoutMs())))
            return false;
        char byte;
        if (socket.getChar(&byte))
            answer += byte;
    }
    // "HTTP/1.1 200 Connection established"
    const QList<QByteArray> status = answer.left(answer.indexOf("\r\n")).split(' ');
    return status.size() >= 2 && status.at(0).startsWith("HTTP/1.") && status.at(1) == "200";
}

bool ProxyTunnel::connect(QTcpSocket &socket, const QNetworkProxy &proxy, const QString &host,
                          quint16 port, int waitMs, const QDeadlineTimer &deadline)
{
    socket.setProxy(proxy);
    socket.connectToHost(host, port, QIODevice::ReadWrite);
    if (socket.waitForConnected(waitMs))
        return true;
    if (socket.error() != QAbstractSocket::ProxyConnectionClosedError || !fits(proxy))
        return false;
    socket.abort();
    return open(socket, proxy, host, port, deadline);
}
