#include "updatereply.h"

#include "packagecheck.h"
#include "replyformat.h"
#include "replylimits.h"
#include "translated.h"

#include <QDomDocument>
#include <QUrl>

#include <optional>

namespace {

// The element's bytes, one character each: names and versions are compared and signed as
// bytes, whatever the document's encoding.
QString bytesOf(const QString &text)
{
    return QString::fromLatin1(text.toUtf8());
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

std::optional<QString> optionalAttribute(const QDomElement &element, const QString &name)
{
    if (!element.hasAttribute(name))
        return std::nullopt;
    return element.attribute(name);
}

QList<PatchOffer> patchesFrom(const QDomElement &request)
{
    QList<PatchOffer> patches;
    for (QDomElement patch = request.firstChildElement(ReplyFormat::patch); !patch.isNull();
         patch = patch.nextSiblingElement(ReplyFormat::patch)) {
        patches.append({patch.attribute(ReplyFormat::from),
                        QUrl(patch.attribute(ReplyFormat::link)),
                        PackageCheck::fromReply(optionalAttribute(patch, ReplyFormat::sha256),
                                                optionalAttribute(patch, ReplyFormat::signature),
                                                optionalAttribute(patch, ReplyFormat::size))});
    }
    return patches;
}

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

OfferedPackage offerFrom(const QDomElement &request)
{
    OfferedPackage offer;
    offer.project = bytesOf(request.attribute(ReplyFormat::project));
    offer.name = bytesOf(request.attribute(ReplyFormat::name));
    offer.type = bytesOf(request.attribute(ReplyFormat::type));
    offer.version = bytesOf(childText(request, ReplyFormat::version));
    offer.description = childText(request, ReplyFormat::description);
    offer.copyrights = childText(request, ReplyFormat::copyrights);
    offer.author = childText(request, ReplyFormat::author);
    offer.webpage = childText(request, ReplyFormat::webpage);
    offer.email = childText(request, ReplyFormat::email);
    offer.changelog = childText(request, ReplyFormat::changelog);
    offer.critical = childText(request, ReplyFormat::critical) == QLatin1String("true");
    bool ok = false;
    const unsigned int timestamp = childText(request, ReplyFormat::timestamp).toUInt(&ok, 10);
    offer.timestamp = ok ? timestamp : 0;
    offer.link = childText(request, ReplyFormat::link);
    offer.check = PackageCheck::fromReply(optionalChildText(request, ReplyFormat::sha256),
                                          optionalChildText(request, ReplyFormat::signature),
                                          optionalChildText(request, ReplyFormat::size));
    offer.patches = patchesFrom(request);
    return offer;
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
            offered.append(offerFrom(request));
    }
    return offered;
}
