#include "proxybypass.h"

#include <QStringList>

namespace {

QString withoutTrailingDot(QString name)
{
    if (name.endsWith(QLatin1Char('.')))
        name.chop(1);
    return name;
}

} // namespace

ProxyBypass::ProxyBypass(const QString &noProxy)
{
    for (QString text : noProxy.toLower().split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        text = text.trimmed();
        if (text == QLatin1String("*")) {
            everyHost = true;
            continue;
        }
        Entry entry;
        if (text.contains(QLatin1Char('/'))) {
            entry.range = QHostAddress::parseSubnet(text);
            if (!entry.range.first.isNull())
                entries.append(entry);
            continue;
        }
        // A port follows the last colon of "[v6]:port" or "name:port"; a bare IPv6 address
        // has several colons and no port.
        const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
        const bool bracketed = text.startsWith(QLatin1Char('['));
        if (colon > 0
            && (bracketed ? text.at(colon - 1) == QLatin1Char(']')
                          : text.count(QLatin1Char(':')) == 1)) {
            bool isNumber = false;
            entry.port = text.mid(colon + 1).toInt(&isNumber);
            if (!isNumber || entry.port < 0 || entry.port > 65535)
                continue;
            text.truncate(colon);
        }
        if (bracketed && text.endsWith(QLatin1Char(']')))
            text = text.mid(1, text.size() - 2);
        entry.name = withoutTrailingDot(text);
        if (!entry.name.isEmpty())
            entries.append(entry);
    }
}

bool ProxyBypass::matches(const QString &host, quint16 port) const
{
    if (everyHost)
        return true;
    const QString name = withoutTrailingDot(host.toLower());
    const QHostAddress address(name);
    for (const Entry &entry : entries) {
        if (entry.port >= 0 && entry.port != port)
            continue;
        if (entry.name.isEmpty()) {
            if (!address.isNull() && address.isInSubnet(entry.range))
                return true;
        } else if (nameMatches(entry.name, name)
                   || (!address.isNull() && address.isEqual(QHostAddress(entry.name)))) {
            // The second: one address written two ways, such as "::1" and "0:0::1".
            return true;
        }
    }
    return false;
}

// Whole labels only, as wget compares them.
bool ProxyBypass::nameMatches(const QString &entry, const QString &host)
{
    if (entry.startsWith(QLatin1Char('.')))
        return host.endsWith(entry);
    return host == entry || host.endsWith(QLatin1Char('.') + entry);
}
