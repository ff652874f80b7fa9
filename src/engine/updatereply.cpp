#include "updatereply.h"

#include "replyformat.h"
#include "replylimits.h"
#include "translated.h"

#include <QDomDocument>

namespace {

bool offersNothing(const QDomElement &request)
{
    for (QDomNode child = request.firstChild(); !child.isNull(); child = child.nextSibling()) {
        const QString name = child.nodeName();
        if (name == ReplyFormat::latest || name == ReplyFormat::noSuchUpdate
            || name == ReplyFormat::noSuchComponent)
            return true;
    }
    return false;
}

} // namespace

Failure UpdateReply::append(const QByteArray &bytes)
{
    if (complete || refused)
        return refused;
    if (buffer.size() + bytes.size() > ReplyLimits::maximumSize) {
        refused = failure(Failure::Reply);
        buffer.clear();
        return refused;
    }
    buffer += bytes;
    // A reader that found the document malformed stays so: no later byte can mend it, and the
    // exchange ends when the server falls silent or closes, as for any incomplete reply.
    if (reader.hasError() && reader.error() != QXmlStreamReader::PrematureEndOfDocumentError)
        return refused;
    // Without namespaces, as the document is read below: an undeclared prefix is no error.
    reader.setNamespaceProcessing(false);
    reader.addData(bytes);
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (!withinBounds()) {
            refused = failure(Failure::Reply);
            buffer.clear();
            break;
        }
        if (token == QXmlStreamReader::EndDocument) {
            // The root element has closed; the whole buffer must still parse as one document
            // (bytes after the root in the same piece may spoil it).
            complete = document.setContent(buffer, false);
            break;
        }
    }
    return refused;
}

Failure UpdateReply::failure(Failure::Kind kind)
{
    return Failure(kind,
                   translated("An error occured while comunicating update server. Check your "
                              "internet connection."));
}

// Checked on each token of the incremental pass, before any document is built: entity
// expansion, deep nesting and huge counts or fields would cost the DOM far more than the bytes.
bool UpdateReply::withinBounds()
{
    switch (reader.tokenType()) {
    case QXmlStreamReader::DTD:
    case QXmlStreamReader::EntityReference:
        return false;
    case QXmlStreamReader::StartElement: {
        const bool field = !open.isEmpty() && open.constLast() == ReplyFormat::request;
        if (reader.name() == ReplyFormat::request && ++requests > ReplyLimits::maximumRequests)
            return false;
        open.append(reader.name().toString());
        fieldText.append(field ? 0 : -1);
        return open.size() <= ReplyLimits::maximumDepth;
    }
    case QXmlStreamReader::EndElement:
        if (!open.isEmpty()) {
            open.removeLast();
            fieldText.removeLast();
        }
        return true;
    case QXmlStreamReader::Characters:
        // A field's text includes that of its descendants.
        for (qsizetype i = 0; i < fieldText.size(); ++i) {
            if (fieldText.at(i) < 0)
                continue;
            fieldText[i] += reader.text().size();
            const qsizetype bound = open.at(i) == ReplyFormat::changelog
                ? ReplyLimits::maximumChangelog
                : ReplyLimits::maximumField;
            if (fieldText.at(i) > bound)
                return false;
        }
        return true;
    default:
        return true;
    }
}

QVector<OfferedPackage> UpdateReply::offers() const
{
    QVector<OfferedPackage> offered;
    if (!complete)
        return offered;
    const QDomNodeList requests = document.elementsByTagName(ReplyFormat::request);
    for (int i = 0; i < requests.size(); ++i) {
        const QDomElement request = requests.at(i).toElement();
        if (!offersNothing(request))
            offered.append(OfferedPackage::fromRequest(request));
    }
    return offered;
}
