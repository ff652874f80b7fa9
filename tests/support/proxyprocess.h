#ifndef PROXYPROCESS_H
#define PROXYPROCESS_H

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

// A real HTTP proxy (Debian's tinyproxy) on 127.0.0.1 while the object lives, logging every
// request it relays; for a proxy that hangs up after its 407, a few lines of Python.
class ProxyProcess
{
    Q_GADGET

public:
    ~ProxyProcess();

    enum Rules {
        Open, // relays requests and CONNECT to port 443
        NoConnect, // denies CONNECT
        AsksPassword, // answers 407 unless the request carries user "vorn", password "secret"
        AsksPasswordAndCloses // as AsksPassword for CONNECT alone, closing after each 407
    };
    Q_ENUM(Rules)

    // Starts it on port. False when tinyproxy is missing or does not listen.
    bool start(quint16 port, Rules rules);
    // The request line of every request it received, in order: "CONNECT localhost:443
    // HTTP/1.1", "GET http://127.0.0.1/a.zip HTTP/1.1".
    QStringList requests() const;

private:
    QTemporaryDir scratch;
    QProcess process;
};

#endif // PROXYPROCESS_H
