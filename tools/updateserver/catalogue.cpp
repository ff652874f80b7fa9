#include "catalogue.h"

#include "dottedversion.h"
#include "replyformat.h"
#include "replylimits.h"
#include "replywriter.h"

#include <QFile>
#include <QXmlStreamReader>

namespace {

// Every full request carries these, empty (or false, or 0) when the catalogue leaves them out.
const QStringList &answeredFields()
{
    static const QStringList names = {
        ReplyFormat::version,   ReplyFormat::description, ReplyFormat::copyrights,
        ReplyFormat::author,    ReplyFormat::webpage,     ReplyFormat::email,
        ReplyFormat::changelog, ReplyFormat::link,        ReplyFormat::critical,
        ReplyFormat::timestamp,
    };
    return names;
}

const QStringList &extraFields()
{
    static const QStringList names
        = {ReplyFormat::sha256, ReplyFormat::signature, ReplyFormat::size};
    return names;
}

} // namespace

const QStringList &Catalogue::fieldNames()
{
    static const QStringList names = answeredFields() + extraFields();
    return names;
}

const QStringList &Catalogue::patchAttributes()
{
    static const QStringList names
        = QStringList {ReplyFormat::from, ReplyFormat::link} + extraFields();
    return names;
}

bool Catalogue::load(const QString &name)
{
    fileName = name;
    entries.clear();
    order.clear();
    offered.clear();
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("%1: %2").arg(fileName, file.errorString());
        return false;
    }
    QXmlStreamReader xml(&file);
    if (!xml.readNextStartElement() || xml.name() != ReplyFormat::catalogue)
        return fail(xml,
                    xml.hasError() ? xml.errorString()
                                   : QStringLiteral("the root element must be <catalogue>"));
    while (xml.readNextStartElement()) {
        if (xml.name() != ReplyFormat::component)
            return fail(xml, QStringLiteral("unexpected element <%1>").arg(xml.name()));
        if (!readEntry(xml))
            return false;
    }
    while (!xml.atEnd())
        xml.readNext();
    if (xml.hasError())
        return fail(xml, xml.errorString());
    for (const Key &key : std::as_const(order)) {
        const CatalogueEntry &entry = entries.at(key);
        if (entry.offeredToAll)
            offered.append(&entry);
    }
    return true;
}

const CatalogueEntry *Catalogue::find(const QString &project, const QString &name,
                                      const QString &type) const
{
    const auto found = entries.find({project, name, type});
    return found == entries.end() ? nullptr : &found->second;
}

bool Catalogue::readEntry(QXmlStreamReader &xml)
{
    CatalogueEntry entry;
    entry.project = xml.attributes().value(QLatin1String("project")).toString();
    entry.name = xml.attributes().value(QLatin1String("name")).toString();
    entry.type = xml.attributes().value(QLatin1String("type")).toString();
    if (xml.attributes().hasAttribute(QLatin1String("offer"))) {
        const QStringView offer = xml.attributes().value(QLatin1String("offer"));
        if (offer != u"always")
            return fail(xml, QStringLiteral("offer must be \"always\", not \"%1\"").arg(offer));
        entry.offeredToAll = true;
    }
    for (const QString &field : answeredFields())
        entry.fields.insert(field, QString());
    entry.fields.insert(ReplyFormat::critical, QStringLiteral("false"));
    entry.fields.insert(ReplyFormat::timestamp, QStringLiteral("0"));

    while (xml.readNextStartElement()) {
        const QString field = xml.name().toString();
        if (field == ReplyFormat::patch) {
            if (!readPatch(xml, &entry))
                return false;
            continue;
        }
        if (!fieldNames().contains(field))
            return fail(xml, QStringLiteral("unknown element <%1>").arg(field));
        const QString text = xml.readElementText();
        if (!checkLength(xml, QStringLiteral("<%1>").arg(field), text,
                         field == ReplyFormat::changelog ? ReplyLimits::maximumChangelog
                                                         : ReplyLimits::maximumField))
            return false;
        entry.fields.insert(field, text);
    }
    if (xml.hasError())
        return fail(xml, xml.errorString());

    const QString version = entry.fields.value(ReplyFormat::version);
    // Published as dotted decimal numbers only, so that comparisons are unambiguous.
    entry.version = DottedVersion::parse(version);
    if (entry.version.isNull())
        return fail(
            xml,
            QStringLiteral("<version> must be dotted decimal numbers, not \"%1\"").arg(version));
    if (entry.fields.value(ReplyFormat::link).isEmpty())
        return fail(xml, QStringLiteral("<link> is missing"));
    const QString critical = entry.fields.value(ReplyFormat::critical);
    if (critical != u"true" && critical != u"false")
        return fail(xml, QStringLiteral("<critical> must be true or false"));
    bool isNumber = false;
    entry.fields.value(ReplyFormat::timestamp).toUInt(&isNumber, 10);
    if (!isNumber)
        return fail(xml, QStringLiteral("<timestamp> must be an unsigned 32-bit number"));
    entry.children = ReplyWriter::requestChildren(entry);

    const Key key = std::make_tuple(entry.project, entry.name, entry.type);
    const auto stored = entries.find(key);
    if (stored == entries.end()) {
        entries.emplace(key, entry);
        order.append(key);
    } else if (entry.version > stored->second.version) {
        stored->second = entry;
    }
    return true;
}

bool Catalogue::readPatch(QXmlStreamReader &xml, CatalogueEntry *entry)
{
    CataloguePatch patch;
    for (const QXmlStreamAttribute &attribute : xml.attributes()) {
        const QString name = attribute.name().toString();
        if (!patchAttributes().contains(name))
            return fail(xml, QStringLiteral("unknown attribute %1 of <patch>").arg(name));
        const QString value = attribute.value().toString();
        if (!checkLength(xml, QStringLiteral("%1 of <patch>").arg(name), value,
                         ReplyLimits::maximumField))
            return false;
        patch.attributes.insert(name, value);
    }
    const QString from = patch.attributes.value(ReplyFormat::from);
    patch.from = DottedVersion::parse(from);
    if (patch.from.isNull())
        return fail(
            xml,
            QStringLiteral("<patch> needs from=\"dotted decimal numbers\", not \"%1\"").arg(from));
    if (patch.attributes.value(ReplyFormat::link).isEmpty())
        return fail(xml, QStringLiteral("<patch> needs a link"));
    xml.skipCurrentElement();
    patch.element = ReplyWriter::patchElement(patch);
    entry->patches.append(patch);
    return true;
}

// The updater refuses a whole reply for one text beyond its bound: refused here instead, where
// the publisher sees it.
bool Catalogue::checkLength(const QXmlStreamReader &xml, const QString &what, const QString &text,
                            qsizetype maximum)
{
    if (text.size() <= maximum)
        return true;
    return fail(xml,
                QStringLiteral("%1 holds %2 characters; the updater accepts at most %3")
                    .arg(what)
                    .arg(text.size())
                    .arg(maximum));
}

bool Catalogue::fail(const QXmlStreamReader &xml, const QString &message)
{
    error = QStringLiteral("%1:%2: %3").arg(fileName).arg(xml.lineNumber()).arg(message);
    return false;
}
