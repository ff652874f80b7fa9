#include "replywriter.h"

#include "catalogue.h"
#include "dottedversion.h"
#include "queryparser.h"

#include <QVersionNumber>
#include <QXmlStreamWriter>

QByteArray ReplyWriter::write(const QList<QueriedComponent> &components)
{
    QByteArray reply;
    QXmlStreamWriter xml(&reply);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeStartElement(QStringLiteral("update"));
    for (const QueriedComponent &component : components) {
        xml.writeStartElement(QStringLiteral("request"));
        xml.writeAttribute(QStringLiteral("project"), component.project);
        xml.writeAttribute(QStringLiteral("name"), component.name);
        xml.writeAttribute(QStringLiteral("type"), component.type);
        const QString asked
            = QStringLiteral("%1/%2/%3").arg(component.project, component.name, component.type)
            + (component.version.isEmpty() ? QString() : u' ' + component.version);
        const CatalogueEntry *entry
            = catalogue.find(component.project, component.name, component.type);
        // An installed version that is no number counts as older than any published one.
        const QVersionNumber installed = QVersionNumber::fromString(component.version).normalized();
        if (!entry) {
            xml.writeEmptyElement(QStringLiteral("noSuchComponent"));
            answers << asked + QStringLiteral(": noSuchComponent");
        } else if (entry->version > installed) {
            for (const QString &field : Catalogue::fieldNames()) {
                if (entry->fields.contains(field))
                    xml.writeTextElement(field, entry->fields.value(field));
            }
            // Only the patch that applies to the installed version, written as dotted numbers;
            // other updaters ignore it.
            const QVersionNumber exact = DottedVersion::parse(component.version);
            for (const CataloguePatch &patch : entry->patches) {
                if (exact.isNull() || patch.from != exact)
                    continue;
                xml.writeEmptyElement(QStringLiteral("patch"));
                for (const QString &attribute : Catalogue::patchAttributes()) {
                    if (patch.attributes.contains(attribute))
                        xml.writeAttribute(attribute, patch.attributes.value(attribute));
                }
            }
            answers << asked + QStringLiteral(": update ")
                    + entry->fields.value(QStringLiteral("version"));
        } else {
            xml.writeEmptyElement(QStringLiteral("latest"));
            answers << asked + QStringLiteral(": latest");
        }
        xml.writeEndElement();
    }
    xml.writeEndDocument();
    return reply;
}

QString ReplyWriter::summary() const
{
    return answers.isEmpty() ? QStringLiteral("answered an empty query")
                             : QStringLiteral("answered ") + answers.join(QStringLiteral("; "));
}
