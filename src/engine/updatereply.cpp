#include "updatereply.h"

#include "packagecheck.h"
#include "replylimits.h"
#include "update.h"

#include <QDomDocument>

#include <optional>

namespace {

std::string utf8(const QString &text)
{
    return text.toUtf8().toStdString();
}

// The text of the first direct child element of that name, empty if there is none.
QString childText(const QDomElement &element, const QString &name)
{
    return element.firstChildElement(name).text();
}

// The text of the first direct child element of that name, nullopt if there is none.
std::optional<QString> optionalChildText(const QDomElement &element, const QString &name)
{
    const QDomElement child = element.firstChildElement(name);
    if (child.isNull())
        return std::nullopt;
    return child.text();
}

PackageCheck checkFrom(const QDomElement &request)
{
    return PackageCheck::fromReply(optionalChildText(request, QStringLiteral("sha256")),
                                   optionalChildText(request, QStringLiteral("signature")),
                                   optionalChildText(request, QStringLiteral("size")));
}

std::optional<QString> optionalAttribute(const QDomElement &element, const QString &name)
{
    if (!element.hasAttribute(name))
        return std::nullopt;
    return element.attribute(name);
}

QList<PatchOffer> patchesFrom(const QDomElement &request)
{
    QList<PatchOffer> patches;
    for (QDomElement patch = request.firstChildElement(QStringLiteral("patch")); !patch.isNull();
         patch = patch.nextSiblingElement(QStringLiteral("patch"))) {
        patches.append(
            {patch.attribute(QStringLiteral("from")), patch.attribute(QStringLiteral("link")),
             PackageCheck::fromReply(optionalAttribute(patch, QStringLiteral("sha256")),
                                     optionalAttribute(patch, QStringLiteral("signature")),
                                     optionalAttribute(patch, QStringLiteral("size")))});
    }
    return patches;
}

bool offersNothing(const QDomElement &request)
{
    for (QDomNode child = request.firstChild(); !child.isNull(); child = child.nextSibling()) {
        const QString name = child.nodeName();
        if (name == QLatin1String("latest") || name == QLatin1String("noSuchUpdate")
            || name == QLatin1String("noSuchComponent"))
            return true;
    }
    return false;
}

Update *updateFrom(const QDomElement &request)
{
    bool ok = false;
    unsigned int timestamp = childText(request, QStringLiteral("timestamp")).toUInt(&ok, 10);
    if (!ok)
        timestamp = 0;
    return new Update(utf8(request.attribute(QStringLiteral("project"))),
                      utf8(request.attribute(QStringLiteral("name"))),
                      utf8(request.attribute(QStringLiteral("type"))),
                      utf8(childText(request, QStringLiteral("version"))),
                      utf8(childText(request, QStringLiteral("description"))),
                      utf8(childText(request, QStringLiteral("copyrights"))),
                      utf8(childText(request, QStringLiteral("author"))),
                      utf8(childText(request, QStringLiteral("webpage"))),
                      utf8(childText(request, QStringLiteral("email"))),
                      utf8(childText(request, QStringLiteral("changelog"))),
                      utf8(childText(request, QStringLiteral("link"))),
                      childText(request, QStringLiteral("critical")) == QLatin1String("true"),
                      timestamp);
}

} // namespace

UpdateReply::Status UpdateReply::append(const QByteArray &bytes)
{
    if (state != Incomplete)
        return state;
    if (buffer.size() + bytes.size() > ReplyLimits::maximumSize) {
        state = TooLarge;
        buffer.clear();
        return state;
    }
    buffer += bytes;
    // A reader that found the document malformed stays so: no later byte can mend it, and the
    // exchange ends when the server falls silent or closes, as for any incomplete reply.
    if (reader.hasError() && reader.error() != QXmlStreamReader::PrematureEndOfDocumentError)
        return state;
    // Without namespaces, as the document is read below: an undeclared prefix is no error.
    reader.setNamespaceProcessing(false);
    reader.addData(bytes);
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (!withinBounds()) {
            state = Refused;
            buffer.clear();
            break;
        }
        if (token == QXmlStreamReader::EndDocument) {
            // The root element has closed; the whole buffer must still parse as one document
            // (bytes after the root in the same piece may spoil it).
            if (document.setContent(buffer, false))
                state = Complete;
            break;
        }
    }
    return state;
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
        const bool field = !open.isEmpty() && open.constLast() == u"request";
        if (reader.name() == u"request" && ++requests > ReplyLimits::maximumRequests)
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
            const qsizetype bound = open.at(i) == u"changelog" ? ReplyLimits::maximumChangelog
                                                               : ReplyLimits::maximumField;
            if (fieldText.at(i) > bound)
                return false;
        }
        return true;
    default:
        return true;
    }
}

QVector<Update *> UpdateReply::takeUpdates(QVector<PackageCheck> *checks,
                                           QVector<QList<PatchOffer>> *patches) const
{
    QVector<Update *> updates;
    if (checks)
        checks->clear();
    if (patches)
        patches->clear();
    if (state != Complete)
        return updates;
    const QDomNodeList requests = document.elementsByTagName(QStringLiteral("request"));
    for (int i = 0; i < requests.size(); ++i) {
        const QDomElement request = requests.at(i).toElement();
        if (offersNothing(request))
            continue;
        updates.append(updateFrom(request));
        if (checks)
            checks->append(checkFrom(request));
        if (patches)
            patches->append(patchesFrom(request));
    }
    return updates;
}
