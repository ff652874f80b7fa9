#ifndef PROXYBYPASS_H
#define PROXYBYPASS_H

#include <QHostAddress>
#include <QList>
#include <QString>

// The hosts that `no_proxy` names for direct connections, matched as curl and wget match
// them. Entries are separated by commas:
// - "*": every host;
// - a name: the host of that name and every host in its domain ("example.org" holds
//   "www.example.org", not "myexample.org"); with a leading dot, only the hosts in the domain
//   (".example.org" holds "www.example.org", not "example.org");
// - an address: that address, written as the host is ("7.0.0.1" is not "127.0.0.1");
// - a range "ADDRESS/BITS" (CIDR): every address in it, for a host given as an address;
// - any of these but a range with ":PORT" (an IPv6 address in brackets, "[::1]:443"): the
//   same, for connections to that port only.
class ProxyBypass
{
public:
    explicit ProxyBypass(const QString &noProxy);

    bool matches(const QString &host, quint16 port) const;

private:
    struct Entry
    {
        QString name; // lower case, without a trailing dot; empty for a range
        QPair<QHostAddress, int> range;
        int port = -1; // any port
    };

    static bool nameMatches(const QString &entry, const QString &host);

    QList<Entry> entries;
    bool everyHost = false;
};

#endif // PROXYBYPASS_H
