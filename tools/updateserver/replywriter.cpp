#include "replywriter.h"

#include "catalogue.h"
#include "dottedversion.h"
#include "queryparser.h"
#include "replyformat.h"
#include "replylimits.h"
#include "replysignature.h"

#include <QVersionNumber>
#include <QXmlStreamWriter>

namespace {

QByteArray bytes(QLatin1String name)
{
    return QByteArray(name.data(), name.size());
}

const QByteArray childIndent = QByteArrayLiteral("        ");
const QByteArray head
    = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<" + bytes(ReplyFormat::root) + ">\n";
const QByteArray tail = "</" + bytes(ReplyFormat::root) + ">\n";
const QByteArray requestEnd = "    </" + bytes(ReplyFormat::request) + ">\n";
const QByteArray noSuchComponent = childIndent + '<' + bytes(ReplyFormat::noSuchComponent) + "/>\n";
const QByteArray latest = childIndent + '<' + bytes(ReplyFormat::latest) + "/>\n";
// The log names this many components of a query; a longer query is summed up.
const int summarized = 16;

// The query's texts are raw (the client library escapes nothing), so each is escaped here as
// an attribute value; what XML cannot carry at all the parser has dropped already. Written by
// hand: an XML writer made for each request was among the largest costs of an exchange.
void appendAttribute(QByteArray &element, QLatin1String name, const QString &value)
{
    element += ' ';
    element += bytes(name);
    element += "=\"";
    for (const char c : value.toUtf8()) {
        switch (c) {
        case '&':
            element += "&amp;";
            break;
        case '<':
            element += "&lt;";
            break;
        case '>':
            element += "&gt;";
            break;
        case '"':
            element += "&quot;";
            break;
        // Blanks other than the space would be read back as spaces.
        case '\t':
            element += "&#9;";
            break;
        case '\n':
            element += "&#10;";
            break;
        case '\r':
            element += "&#13;";
            break;
        default:
            element += c;
        }
    }
    element += '"';
}

QByteArray requestStart(const QueriedComponent &component)
{
    QByteArray start = "    <" + bytes(ReplyFormat::request);
    appendAttribute(start, ReplyFormat::project, component.project);
    appendAttribute(start, ReplyFormat::name, component.name);
    appendAttribute(start, ReplyFormat::type, component.type);
    return start += ">\n";
}

// The parts of the request that answers the component, shared with the catalogue where they
// come from it; said, when given, receives the answer for the log.
QByteArrayList answer(const Catalogue &catalogue, const QueriedComponent &component,
                      QString *said = nullptr)
{
    const CatalogueEntry *entry = catalogue.find(component.project, component.name, component.type);
    // Compared as the updater compares; an installed version that is no dotted number counts
    // as older than any published one.
    const QVersionNumber installed = DottedVersion::parse(component.version);
    QByteArrayList parts {requestStart(component)};
    QString offer;
    if (!entry) {
        offer = ReplyFormat::noSuchComponent;
        parts << noSuchComponent;
    } else if (!installed.isNull() && entry->version <= installed) {
        offer = ReplyFormat::latest;
        parts << latest;
    } else {
        offer = QStringLiteral("update ") + entry->fields.value(ReplyFormat::version);
        parts << entry->children;
        // Only the patch that applies to the installed version; other updaters ignore it.
        for (const CataloguePatch &patch : entry->patches) {
            if (!installed.isNull() && patch.from == installed)
                parts << patch.element;
        }
    }
    if (said)
        *said = QStringLiteral("%1/%2/%3").arg(component.project, component.name, component.type)
            + (component.version.isEmpty() ? QString() : u' ' + component.version)
            + QStringLiteral(": ") + offer;
    return parts << requestEnd;
}

qsizetype sizeOf(const QByteArrayList &parts)
{
    qsizetype size = 0;
    for (const QByteArray &part : parts)
        size += part.size();
    return size;
}

} // namespace

ReplyWriter::ReplyWriter(const Catalogue &catalogue, const QueryParser &query,
                         int maximumComponents, bool signedReply)
    : catalogue(catalogue)
    , query(query)
    , total(head.size() + tail.size())
    , signedReply(signedReply)
{
    if (signedReply) {
        // Room for the largest signature element, until the signature is known.
        total += ReplySignature::maximumSignatureElementSize;
        hash.reset();
    }
    // Measured whole before a byte is sent: a reply the updater would refuse is not sent at all.
    QueriedComponent component;
    for (qsizetype at = 0; query.nextComponent(&at, &component);) {
        if (++components > maximumComponents) {
            state = TooManyComponents;
            return;
        }
        QString said;
        const bool listed = answers.size() < summarized;
        total += sizeOf(answer(catalogue, component, listed ? &said : nullptr));
        if (total > ReplyLimits::maximumSize) {
            state = TooLarge;
            return;
        }
        if (listed)
            answers << said;
        else
            ++unlisted;
    }
}

QByteArray ReplyWriter::read(qsizetype bytes)
{
    QByteArray piece;
    piece.reserve(qMin<qint64>(bytes, total - written));
    while (piece.size() < bytes && (!parts.isEmpty() || takeNextParts())) {
        const QByteArray &part = parts.constFirst();
        const qsizetype taken = qMin(bytes - piece.size(), part.size() - partOffset);
        piece.append(part.constData() + partOffset, taken);
        partOffset += taken;
        if (partOffset == part.size()) {
            parts.removeFirst();
            partOffset = 0;
        }
    }
    written += piece.size();
    return piece;
}

bool ReplyWriter::takeNextParts()
{
    if (state != Ready || position == queryEnd)
        return false;
    QueriedComponent component;
    if (position < 0) {
        parts = {head};
        position = 0;
    } else if (query.nextComponent(&position, &component)) {
        parts = answer(catalogue, component);
    } else {
        if (!signedReply) {
            parts = {tail};
        } else if (signature.isEmpty()) {
            if (pendingStatement.isEmpty()) {
                hash.add(tail.constData(), tail.size());
                pendingStatement
                    = ReplySignature::statementOf(ReplySignature::nonceIn(query.prefix()),
                                                  Sha256::of(query.query()), hash.result());
            }
            return false;
        } else {
            const QByteArray element = ReplySignature::signatureElement(signature);
            total += element.size() - ReplySignature::maximumSignatureElementSize;
            parts = {element, tail};
        }
        position = queryEnd;
        return true;
    }
    if (signedReply) {
        for (const QByteArray &part : std::as_const(parts))
            hash.add(part.constData(), part.size());
    }
    return true;
}

QString ReplyWriter::summary() const
{
    if (answers.isEmpty())
        return QStringLiteral("answered an empty query");
    QString text = QStringLiteral("answered ") + answers.join(QStringLiteral("; "));
    if (unlisted > 0)
        text += QStringLiteral("; and %1 more").arg(unlisted);
    return text;
}

QByteArray ReplyWriter::requestChildren(const CatalogueEntry &entry)
{
    QByteArray children;
    for (const QString &field : Catalogue::fieldNames()) {
        if (!entry.fields.contains(field))
            continue;
        QByteArray line;
        QXmlStreamWriter xml(&line);
        xml.writeTextElement(field, entry.fields.value(field));
        children += childIndent + line + '\n';
    }
    return children;
}

QByteArray ReplyWriter::patchElement(const CataloguePatch &patch)
{
    QByteArray element;
    QXmlStreamWriter xml(&element);
    xml.writeEmptyElement(ReplyFormat::patch);
    for (const QString &attribute : Catalogue::patchAttributes()) {
        if (patch.attributes.contains(attribute))
            xml.writeAttribute(attribute, patch.attributes.value(attribute));
    }
    // Closes the element and ends the line.
    xml.writeEndDocument();
    return childIndent + element;
}
