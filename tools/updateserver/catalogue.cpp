#include "catalogue.h"

#include "digest.h"
#include "dottedversion.h"
#include "replyformat.h"
#include "replylimits.h"
#include "replywriter.h"

#include <QFile>
#include <QRegularExpression>
#include <QXmlStreamReader>

#include <algorithm>

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
    static const QStringList names = [] {
        QStringList each;
        for (int algorithm = 0; algorithm <= Digest::Newest; ++algorithm)
            each << Digest::name(Digest::Algorithm(algorithm));
        return each << ReplyFormat::signature << ReplyFormat::size;
    }();
    return names;
}

// The updater refuses a reply whose value it cannot read: refused here instead, where the
// publisher sees it. Empty when the value is fine; "what" names it in the message.
QString problemWith(const QString &name, const QString &what, const QString &text)
{
    static const QRegularExpression decimal(QStringLiteral("^[0-9]{1,18}$"));
    // The updater ignores blanks around the package's values.
    const std::optional<Digest::Algorithm> algorithm = Digest::named(name);
    if (algorithm && !Digest::fromHex(*algorithm, text.trimmed()).isValid())
        return QStringLiteral("%1 must be %2 hex digits, not \"%3\"")
            .arg(what, QString::number(2 * Digest::size(*algorithm)), text);
    if (name == ReplyFormat::size && !decimal.match(text.trimmed()).hasMatch())
        return QStringLiteral("%1 must be a decimal number of bytes, not \"%2\"").arg(what, text);
    if ((name == ReplyFormat::version || name == ReplyFormat::from)
        && DottedVersion::parse(text).isNull())
        return QStringLiteral("%1 must be dotted decimal numbers, not \"%2\"").arg(what, text);
    if (name == ReplyFormat::critical && text != u"true" && text != u"false")
        return QStringLiteral("%1 must be true or false").arg(what);
    const auto isUnsigned32 = [&text] {
        bool ok = false;
        text.toUInt(&ok, 10);
        return ok;
    };
    if (name == ReplyFormat::timestamp && !isUnsigned32())
        return QStringLiteral("%1 must be an unsigned 32-bit number").arg(what);
    return QString();
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
    all.clear();
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
    qint64 before = xml.characterOffset();
    while (xml.readNextStartElement()) {
        if (xml.name() != ReplyFormat::component)
            return fail(xml, QStringLiteral("unexpected element <%1>").arg(xml.name()));
        if (!readEntry(xml, before))
            return false;
        before = xml.characterOffset();
    }
    while (!xml.atEnd())
        xml.readNext();
    if (xml.hasError())
        return fail(xml, xml.errorString());
    for (const Key &key : std::as_const(order)) {
        const CatalogueEntry &entry = entries.at(key).constFirst();
        if (entry.offeredToAll)
            offered.append(&entry);
    }
    return true;
}

const CatalogueEntry *Catalogue::find(const QString &project, const QString &name,
                                      const QString &type) const
{
    const auto found = entries.find({project, name, type});
    return found == entries.end() ? nullptr : &found->second.constFirst();
}

const CatalogueEntry *Catalogue::offerFor(const QString &project, const QString &name,
                                          const QString &type, const RolloutAudience &audience,
                                          Rollout::Decision *decision) const
{
    *decision = Rollout::None;
    const auto found = entries.find({project, name, type});
    if (found == entries.end())
        return nullptr;
    bool decided = false;
    for (const CatalogueEntry &entry : found->second) {
        const bool halted = audience.halted.contains(&entry);
        if (!entry.rollout || (!halted && entry.rollout->shareAt(audience.now) >= Rollout::full))
            return &entry;
        const Rollout::Decision made = halted ? Rollout::Halted
            : audience.position && entry.rollout->includes(*audience.position, audience.now)
            ? Rollout::Inside
            : Rollout::Outside;
        if (!decided)
            *decision = made;
        decided = true;
        if (made == Rollout::Inside)
            return &entry;
    }
    return nullptr;
}

const CatalogueEntry *Catalogue::findVersion(const QString &project, const QString &name,
                                             const QString &type,
                                             const QVersionNumber &version) const
{
    const auto found = entries.find({project, name, type});
    if (found == entries.end())
        return nullptr;
    for (const CatalogueEntry &entry : found->second) {
        if (entry.version == version)
            return &entry;
    }
    return nullptr;
}

bool Catalogue::readEntry(QXmlStreamReader &xml, qint64 begin)
{
    CatalogueEntry entry;
    entry.line = xml.lineNumber();
    entry.project = xml.attributes().value(QLatin1String("project")).toString();
    entry.name = xml.attributes().value(QLatin1String("name")).toString();
    entry.type = xml.attributes().value(QLatin1String("type")).toString();
    if (xml.attributes().hasAttribute(QLatin1String("offer"))) {
        const QStringView offer = xml.attributes().value(QLatin1String("offer"));
        if (offer != u"always")
            return fail(xml, QStringLiteral("offer must be \"always\", not \"%1\"").arg(offer));
        entry.offeredToAll = true;
    }
    QString problem;
    entry.rollout = Rollout::read(xml.attributes(), &problem);
    if (!problem.isEmpty())
        return fail(xml, problem);
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
        const qint64 line = xml.lineNumber();
        const QString what = QStringLiteral("<%1>").arg(field);
        const QString text = xml.readElementText();
        if (!checkLength(line, what, text,
                         field == ReplyFormat::changelog ? ReplyLimits::maximumChangelog
                                                         : ReplyLimits::maximumField))
            return false;
        const QString problem = problemWith(field, what, text);
        if (!problem.isEmpty())
            return fail(line, problem);
        entry.fields.insert(field, text);
    }
    if (xml.hasError())
        return fail(xml, xml.errorString());

    // Published as dotted decimal numbers only, so that comparisons are unambiguous.
    entry.version = DottedVersion::parse(entry.fields.value(ReplyFormat::version));
    if (entry.version.isNull())
        return fail(entry.line,
                    QStringLiteral("<version> is missing: give dotted decimal numbers"));
    if (entry.fields.value(ReplyFormat::link).isEmpty())
        return fail(entry.line, QStringLiteral("<link> is missing"));
    entry.children = ReplyWriter::requestChildren(entry);

    entry.span = {begin, xml.characterOffset()};
    all.append(entry);
    const Key key = std::make_tuple(entry.project, entry.name, entry.type);
    const auto stored = entries.find(key);
    if (stored == entries.end()) {
        entries.emplace(key, QList<CatalogueEntry> {entry});
        order.append(key);
    } else {
        // After the entries of its version or newer: of two of one version, the first counts.
        QList<CatalogueEntry> &versions = stored->second;
        const auto place = std::find_if(
            versions.begin(), versions.end(),
            [&entry](const CatalogueEntry &listed) { return listed.version < entry.version; });
        versions.insert(place, entry);
    }
    return true;
}

bool Catalogue::readPatch(QXmlStreamReader &xml, CatalogueEntry *entry)
{
    CataloguePatch patch;
    patch.line = xml.lineNumber();
    for (const QXmlStreamAttribute &attribute : xml.attributes()) {
        const QString name = attribute.name().toString();
        if (!patchAttributes().contains(name))
            return fail(xml, QStringLiteral("unknown attribute %1 of <patch>").arg(name));
        const QString what = QStringLiteral("%1 of <patch>").arg(name);
        const QString value = attribute.value().toString();
        if (!checkLength(patch.line, what, value, ReplyLimits::maximumField))
            return false;
        const QString problem = problemWith(name, what, value);
        if (!problem.isEmpty())
            return fail(patch.line, problem);
        patch.attributes.insert(name, value);
    }
    patch.from = DottedVersion::parse(patch.attributes.value(ReplyFormat::from));
    if (patch.from.isNull())
        return fail(patch.line, QStringLiteral("<patch> needs from=\"dotted decimal numbers\""));
    if (patch.attributes.value(ReplyFormat::link).isEmpty())
        return fail(patch.line, QStringLiteral("<patch> needs a link"));
    xml.skipCurrentElement();
    patch.element = ReplyWriter::patchElement(patch);
    entry->patches.append(patch);
    return true;
}

// The updater refuses a whole reply for one text beyond its bound: refused here instead, where
// the publisher sees it.
bool Catalogue::checkLength(qint64 line, const QString &what, const QString &text,
                            qsizetype maximum)
{
    if (text.size() <= maximum)
        return true;
    return fail(line,
                QStringLiteral("%1 holds %2 characters; the updater accepts at most %3")
                    .arg(what)
                    .arg(text.size())
                    .arg(maximum));
}

bool Catalogue::fail(const QXmlStreamReader &xml, const QString &message)
{
    return fail(xml.lineNumber(), message);
}

bool Catalogue::fail(qint64 line, const QString &message)
{
    error = QStringLiteral("%1:%2: %3").arg(fileName).arg(line).arg(message);
    return false;
}
