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
QString text(const QByteArray &bytes)
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

// Reads name='value' pairs up to the end of the element. The client library does not escape
// values, so a value ends at the first matching quote followed by a blank, "/" or ">".
QueriedComponent readComponent(const QByteArray &document, qsizetype &at)
{
    QueriedComponent component;
    for (;;) {
        skipBlanks(document, at);
        const qsizetype nameBegin = at;
        while (at < document.size() && !endsName(document[at]))
            ++at;
        const QByteArray name = document.mid(nameBegin, at - nameBegin);
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
        const QString value = text(document.mid(at, close - at));
        at = close + 1;
        if (name == "project")
            component.project = value;
        else if (name == "name")
            component.name = value;
        else if (name == "type")
            component.type = value;
        else if (name == "version")
            component.version = value;
    }
}

} // namespace

QueryParser::Status QueryParser::append(const QByteArray &bytes)
{
    if (state != Incomplete)
        return state;
    const qsizetype searchFrom = qMax<qsizetype>(0, buffer.size() - closeTag.size() + 1);
    buffer += bytes;
    if (buffer.size() > maximumSize) {
        buffer.clear();
        return state = TooLarge;
    }
    // Only the new bytes are searched, so a query in many small pieces costs linear time.
    if (begin < 0)
        begin = buffer.indexOf(openTag, searchFrom);
    if (begin >= 0) {
        end = buffer.indexOf(closeTag, qMax(searchFrom, begin + openTag.size()));
        if (end >= 0)
            state = Complete;
    }
    return state;
}

QList<QueriedComponent> QueryParser::components() const
{
    QList<QueriedComponent> components;
    if (state != Complete)
        return components;
    const QByteArray document = buffer.mid(begin, end - begin);
    qsizetype at = 0;
    while ((at = document.indexOf(componentTag, at)) >= 0) {
        at += componentTag.size();
        if (at < document.size() && endsName(document[at]) && document[at] != '=')
            components.append(readComponent(document, at));
    }
    return components;
}
