#include "manifestwalker.h"

#include "manifestformat.h"
#include "translated.h"

#include <QXmlStreamReader>

#include <optional>
#include <utility>

namespace {

// QXmlStreamAttributes::value() matches qualified names; attributes count by local name.
std::optional<QString> localAttribute(const QXmlStreamAttributes &attributes, QLatin1String name)
{
    for (const QXmlStreamAttribute &attribute : attributes) {
        if (attribute.name() == name)
            return attribute.value().toString();
    }
    return std::nullopt;
}

QString localValue(const QXmlStreamAttributes &attributes, QLatin1String name)
{
    return localAttribute(attributes, name).value_or(QString());
}

// The digest of the attributes that nameOf names, of the newest algorithm present.
Digest digestNamed(const QXmlStreamAttributes &attributes,
                   QLatin1String (*nameOf)(Digest::Algorithm))
{
    return Digest::fromNamed([&](Digest::Algorithm algorithm) {
               return localAttribute(attributes, nameOf(algorithm));
           })
        .value_or(Digest());
}

} // namespace

ManifestWalker::ManifestWalker(const Identity &expected, FileHandler handler)
    : expected(expected)
    , handler(std::move(handler))
{ }

Failure ManifestWalker::walk(QIODevice *device) const
{
    // A manifest of the updater's own format that does not say whose it is counts as damaged.
    const Failure damaged(Failure::Package,
                          translated("The manifest of package %1 is damaged, so it cannot be "
                                     "installed.")
                              .arg(expected.name));
    QXmlStreamReader reader(device);
    bool identified = false;
    while (!reader.atEnd()) {
        if (reader.readNext() != QXmlStreamReader::StartElement)
            continue;

        if (reader.name() == ManifestFormat::package) {
            // Attributes in document order: the first difference decides the message.
            const QXmlStreamAttributes attributes = reader.attributes();
            int named = 0;
            for (const QXmlStreamAttribute &attribute : attributes) {
                const QStringView name = attribute.name();
                const QStringView value = attribute.value();
                if (name == ManifestFormat::project && value != expected.project)
                    return Failure(Failure::Package, translated("Wrong project!"));
                if (name == ManifestFormat::name && value != expected.name)
                    return Failure(Failure::Package, translated("Wrong name!"));
                if (name == ManifestFormat::type && value != expected.type)
                    return Failure(Failure::Package, translated("Wrong type!"));
                named |= name == ManifestFormat::project ? 1
                    : name == ManifestFormat::name       ? 2
                    : name == ManifestFormat::type       ? 4
                                                         : 0;
            }
            identified = identified || named == 7;
        } else if (reader.name() == ManifestFormat::file) {
            if (identityRequired && !identified)
                return damaged;
            const QXmlStreamAttributes attributes = reader.attributes();
            FileEntry entry;
            entry.name = localValue(attributes, ManifestFormat::name);
            entry.path = localValue(attributes, ManifestFormat::path);
            entry.action = localValue(attributes, ManifestFormat::action).toLower();
            entry.from = digestNamed(attributes, &Digest::fromName);
            entry.to = digestNamed(attributes, &Digest::name);
            if (const Failure failure = handler(entry))
                return failure;
        }
    }
    if (reader.hasError() || (identityRequired && !identified))
        return damaged;
    return Failure();
}
