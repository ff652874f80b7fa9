#ifndef PROXYPROCESS_H
#define PROXYPROCESS_H

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

// A real HTTP proxy (Debian's tinyproxy) on 127.0.0.1 while the object lives, logging every
// request it relays.
class ProxyProcess
{
public:
    ~ProxyProcess();

    // Starts it on port; CONNECT is allowed to port 443 only when allowConnect is set. False
    // when tinyproxy is missing or does not listen.
    bool start(quint16 port, bool allowConnect);
    // The request line of every request it received, in order: "CONNECT localhost:443
    // HTTP/1.1", "GET http://127.0.0.1/a.zip HTTP/1.1".
    QStringList requests() const;

private:
    QTemporaryDir scratch;
    QProcess process;
};

#endif // PROXYPROCESS_H
