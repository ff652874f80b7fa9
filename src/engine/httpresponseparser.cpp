#include "httpresponseparser.h"

namespace {

// Far longer than any genuine status line, field or chunk size; an endless one is refused.
const qsizetype maximumLine = 64 * 1024;
const qsizetype maximumFields = 256;

} // namespace

HttpResponseParser::State HttpResponseParser::parse(QByteArrayView &data, QByteArrayView *body)
{
    *body = QByteArrayView();
    while (!data.isEmpty() && (current == ReadingHeader || current == ReadingBody)) {
        if (stage == Body || stage == ChunkData) {
            const qsizetype taken
                = remaining < 0 ? data.size() : qsizetype(qMin<qint64>(remaining, data.size()));
            *body = data.first(taken);
            data = data.sliced(taken);
            if (remaining >= 0)
                remaining -= taken;
            if (remaining == 0 && stage == Body)
                current = Complete;
            else if (remaining == 0)
                stage = ChunkEnd;
            break;
        }
        const qsizetype end = data.indexOf('\n');
        const qsizetype taken = end < 0 ? data.size() : end + 1;
        line.append(data.first(taken));
        data = data.sliced(taken);
        if (line.size() > maximumLine) {
            current = Invalid;
            break;
        }
        if (end < 0)
            break;
        line.chop(line.endsWith("\r\n") ? 2 : 1);
        const QByteArray taking = std::exchange(line, QByteArray());
        if (!takeLine(taking))
            current = Invalid;
    }
    return current;
}

HttpResponseParser::State HttpResponseParser::close()
{
    if (current == ReadingBody && stage == Body && remaining < 0)
        current = Complete;
    return current;
}

bool HttpResponseParser::takeLine(QByteArrayView line)
{
    switch (stage) {
    case StatusLine:
        // Stray blank lines before a response are tolerated, as every client does.
        return line.isEmpty() || takeStatusLine(line);
    case Fields: {
        if (line.isEmpty()) {
            startBody();
            return true;
        }
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0 || fields.size() >= maximumFields)
            return false;
        fields.append({line.first(colon).trimmed().toByteArray(),
                       line.sliced(colon + 1).trimmed().toByteArray()});
        return true;
    }
    case ChunkSize: {
        const qsizetype extension = line.indexOf(';');
        bool ok = false;
        remaining = (extension < 0 ? line : line.first(extension)).trimmed().toLongLong(&ok, 16);
        if (!ok || remaining < 0)
            return false;
        stage = remaining == 0 ? Trailer : ChunkData;
        return true;
    }
    case ChunkEnd:
        stage = ChunkSize;
        return line.isEmpty();
    case Trailer:
        if (line.isEmpty())
            current = Complete;
        return true;
    case Body:
    case ChunkData:
        break;
    }
    return false;
}

// "HTTP/1.1 200 OK"
bool HttpResponseParser::takeStatusLine(QByteArrayView line)
{
    const qsizetype space = line.indexOf(' ');
    if (space < 0 || !line.startsWith("HTTP/1."))
        return false;
    const QByteArrayView rest = line.sliced(space + 1);
    const qsizetype end = rest.indexOf(' ');
    bool ok = false;
    code = (end < 0 ? rest : rest.first(end)).toInt(&ok);
    persistent = line.startsWith("HTTP/1.1 ");
    if (!ok || code < 100 || code > 999)
        return false;
    reason = end < 0 ? QByteArray() : rest.sliced(end + 1).trimmed().toByteArray();
    fields.clear();
    stage = Fields;
    return true;
}

void HttpResponseParser::startBody()
{
    // An interim answer (100 Continue) is followed by the real one.
    if (code >= 100 && code < 200) {
        stage = StatusLine;
        return;
    }
    parsedHeader = HttpResponseHeader(code, QString::fromLatin1(reason), fields);
    persistent = persistent && !parsedHeader.value("Connection").toLower().contains("close");
    current = ReadingBody;
    if (!hasBody || code == 204 || code == 304) {
        current = Complete;
    } else if (parsedHeader.value("Transfer-Encoding").toLower().contains("chunked")) {
        stage = ChunkSize;
    } else if (parsedHeader.hasContentLength()) {
        stage = Body;
        remaining = parsedHeader.contentLength();
        if (remaining == 0)
            current = Complete;
    } else {
        stage = Body;
        remaining = -1;
        persistent = false;
    }
}
