#include "queryparser.h"

namespace {

const QByteArray openTag = QByteArrayLiteral("<s>");
const QByteArray closeTag = QByteArrayLiteral("</s>");
const QByteArray componentTag = QByteArrayLiteral("<component");

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool endsName(char c)
{
    return isBlank(c) || c == '=' || c == '/' || c == '>';
}

// The reply echoes these texts, so characters that XML cannot carry are dropped.
QString text(QByteArrayView bytes)
{
    QString decoded = QString::fromUtf8(bytes);
    decoded.removeIf([](QChar c) {
        return (c < u'\x20' && c != u'\t' && c != u'\n' && c != u'\r') || c == QChar(0xfffe)
            || c == QChar(0xffff);
    });
    return decoded;
}

void skipBlanks(const QByteArray &document, qsizetype &at)
{
    while (at < document.size() && isBlank(document[at]))
        ++at;
}

// The member that an attribute of that name fills, or none.
QString *field(QueriedComponent &component, QByteArrayView name)
{
    if (name == "project")
        return &component.project;
    if (name == "name")
        return &component.name;
    if (name == "type")
        return &component.type;
    if (name == "version")
        return &component.version;
    return nullptr;
}

// Reads name='value' pairs up to the end of the element. The client library does not escape
// values, so a value ends at the first matching quote followed by a blank, "/" or ">". Only
// the values kept are decoded: the server parses each query it answers.
QueriedComponent readComponent(const QByteArray &document, qsizetype &at)
{
    QueriedComponent component;
    for (;;) {
        skipBlanks(document, at);
        const qsizetype nameBegin = at;
        while (at < document.size() && !endsName(document[at]))
            ++at;
        const QByteArrayView name(document.constData() + nameBegin, at - nameBegin);
        skipBlanks(document, at);
        if (name.isEmpty() || at >= document.size() || document[at] != '=')
            return component;
        ++at;
        skipBlanks(document, at);
        if (at >= document.size() || (document[at] != '\'' && document[at] != '"'))
            return component;
        const char quote = document[at++];
        qsizetype close = document.indexOf(quote, at);
        while (close >= 0 && close + 1 < document.size() && !isBlank(document[close + 1])
               && document[close + 1] != '/' && document[close + 1] != '>')
            close = document.indexOf(quote, close + 1);
        if (close < 0)
            return component;
        if (QString *value = field(component, name))
            *value = text(QByteArrayView(document.constData() + at, close - at));
        at = close + 1;
    }
}

} // namespace

Failure QueryParser::append(const QByteArray &bytes)
{
    if (complete || tooLarge)
        return tooLarge;
    const qsizetype searchFrom = qMax<qsizetype>(0, buffer.size() - closeTag.size() + 1);
    buffer += bytes;
    if (buffer.size() > maximumSize) {
        buffer.clear();
        tooLarge = Failure(Failure::Messenger,
                           QStringLiteral("the query is larger than %1 bytes").arg(maximumSize));
        return tooLarge;
    }
    // Only the new bytes are searched, so a query in many small pieces costs linear time.
    if (begin < 0)
        begin = buffer.indexOf(openTag, searchFrom);
    if (begin >= 0) {
        const qsizetype end = buffer.indexOf(closeTag, qMax(searchFrom, begin + openTag.size()));
        if (end >= 0) {
            complete = true;
            before = buffer.left(begin);
            // Cut down where it lies: a busy server reads a query on each exchange.
            buffer.truncate(end);
            buffer.remove(0, begin);
        }
    }
    return Failure();
}

QByteArray QueryParser::query() const
{
    return complete ? buffer + closeTag : QByteArray();
}

QByteArray QueryParser::prefix() const
{
    return before;
}

QList<QueriedComponent> QueryParser::components() const
{
    QList<QueriedComponent> components;
    QueriedComponent component;
    for (qsizetype at = 0; nextComponent(&at, &component);)
        components.append(component);
    return components;
}

bool QueryParser::nextComponent(qsizetype *position, QueriedComponent *component) const
{
    if (!complete)
        return false;
    qsizetype &at = *position;
    while ((at = buffer.indexOf(componentTag, at)) >= 0) {
        at += componentTag.size();
        if (at < buffer.size() && endsName(buffer[at]) && buffer[at] != '=') {
            *component = readComponent(buffer, at);
            return true;
        }
    }
    at = buffer.size();
    return false;
}
