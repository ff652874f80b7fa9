#include "manifestwalker.h"

#include <QXmlStreamReader>

#include <utility>

namespace {

// QXmlStreamAttributes::value() matches qualified names; attributes count by local name.
QString localValue(const QXmlStreamAttributes &attributes, QLatin1String name)
{
    for (const QXmlStreamAttribute &attribute : attributes) {
        if (attribute.name() == name)
            return attribute.value().toString();
    }
    return QString();
}

} // namespace

ManifestWalker::ManifestWalker(const Identity &expected, FileHandler handler)
    : expected(expected)
    , handler(std::move(handler))
{ }

ManifestWalker::Outcome ManifestWalker::walk(QIODevice *device) const
{
    QXmlStreamReader reader(device);
    bool identified = false;
    while (!reader.atEnd()) {
        if (reader.readNext() != QXmlStreamReader::StartElement)
            continue;

        if (reader.name() == QLatin1String("package")) {
            // Attributes in document order: the first difference decides the message.
            const QXmlStreamAttributes attributes = reader.attributes();
            int named = 0;
            for (const QXmlStreamAttribute &attribute : attributes) {
                const QStringView name = attribute.name();
                const QStringView value = attribute.value();
                if (name == QLatin1String("project") && value != expected.project)
                    return WrongProject;
                if (name == QLatin1String("name") && value != expected.name)
                    return WrongName;
                if (name == QLatin1String("type") && value != expected.type)
                    return WrongType;
                named |= name == QLatin1String("project") ? 1
                    : name == QLatin1String("name")       ? 2
                    : name == QLatin1String("type")       ? 4
                                                          : 0;
            }
            identified = identified || named == 7;
        } else if (reader.name() == QLatin1String("file")) {
            if (identityRequired && !identified)
                return Unidentified;
            const QXmlStreamAttributes attributes = reader.attributes();
            FileEntry entry;
            entry.name = localValue(attributes, QLatin1String("name"));
            entry.path = localValue(attributes, QLatin1String("path"));
            entry.action = localValue(attributes, QLatin1String("action")).toLower();
            entry.fromSha256 = localValue(attributes, QLatin1String("from-sha256"));
            entry.sha256 = localValue(attributes, QLatin1String("sha256"));
            if (!handler(entry))
                return Stopped;
        }
    }
    if (reader.hasError())
        return Malformed;
    return identityRequired && !identified ? Unidentified : Complete;
}
