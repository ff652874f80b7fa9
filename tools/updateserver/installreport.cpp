#include "installreport.h"

#include "dottedversion.h"
#include "plainname.h"

#include <QSet>
#include <QXmlStreamReader>

namespace {

const QByteArray reportTag = QByteArrayLiteral("<report");

const QSet<QString> &outcomes()
{
    static const QSet<QString> words
        = {QStringLiteral("installed"), QStringLiteral("rolled-back"),
           QStringLiteral("refused"),   QStringLiteral("download-failed"),
           QStringLiteral("cancelled"), QStringLiteral("recovered")};
    return words;
}

// The run's failure kinds, in lower case.
const QSet<QString> &reasons()
{
    static const QSet<QString> words
        = {QStringLiteral("none"),         QStringLiteral("network"),   QStringLiteral("reply"),
           QStringLiteral("refused"),      QStringLiteral("package"),   QStringLiteral("storage"),
           QStringLiteral("installation"), QStringLiteral("messenger"), QStringLiteral("lock"),
           QStringLiteral("rollback"),     QStringLiteral("cancelled")};
    return words;
}

std::optional<ReportedPackage> readPackage(const QXmlStreamAttributes &attributes)
{
    static const QStringList names
        = {QStringLiteral("component"), QStringLiteral("project"), QStringLiteral("type"),
           QStringLiteral("from"),      QStringLiteral("to"),      QStringLiteral("delivery"),
           QStringLiteral("outcome"),   QStringLiteral("reason")};
    // A component new to the installation has no version before: its "from" is absent.
    const bool isNew = !attributes.hasAttribute(names.at(3));
    if (attributes.size() != names.size() - (isNew ? 1 : 0))
        return std::nullopt;
    QHash<QString, QString> values;
    for (const QXmlStreamAttribute &attribute : attributes) {
        const QString name = attribute.qualifiedName().toString();
        if (!names.contains(name) || values.contains(name))
            return std::nullopt;
        values.insert(name, attribute.value().toString());
    }
    ReportedPackage package {values.value(names.at(1)), values.value(names.at(0)),
                             values.value(names.at(2)), values.value(names.at(3)),
                             values.value(names.at(4)), values.value(names.at(5)),
                             values.value(names.at(6)), values.value(names.at(7))};
    const bool valid = isPlainName(package.project) && isPlainName(package.component)
        && isPlainName(package.type) && (isNew || !DottedVersion::parse(package.from).isNull())
        && !DottedVersion::parse(package.to).isNull()
        && (package.delivery == u"patch" || package.delivery == u"whole")
        && outcomes().contains(package.outcome) && reasons().contains(package.reason);
    return valid ? std::optional(package) : std::nullopt;
}

bool isBlank(QStringView text)
{
    return std::all_of(text.begin(), text.end(),
                       [](QChar c) { return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r'; });
}

} // namespace

bool InstallReport::isReport(QByteArrayView received)
{
    return received.startsWith(reportTag) && received.size() > reportTag.size()
        && (received.at(reportTag.size()) == ' ' || received.at(reportTag.size()) == '>');
}

bool InstallReport::startsLike(QByteArrayView received)
{
    return received.size() <= reportTag.size() && QByteArrayView(reportTag).startsWith(received);
}

std::optional<QList<ReportedPackage>> InstallReport::read(const QByteArray &document)
{
    if (document.size() > maximumSize || !isReport(document))
        return std::nullopt;
    QXmlStreamReader xml(document);
    QList<ReportedPackage> packages;
    int depth = 0;
    bool ended = false;
    while (!xml.atEnd()) {
        switch (xml.readNext()) {
        case QXmlStreamReader::StartDocument:
        case QXmlStreamReader::EndDocument:
            break;
        case QXmlStreamReader::Characters:
            if (!isBlank(xml.text()))
                return std::nullopt;
            break;
        case QXmlStreamReader::StartElement:
            if (ended || ++depth > 2)
                return std::nullopt;
            if (depth == 1) {
                if (xml.name() != u"report" || xml.attributes().size() != 1
                    || xml.attributes().value(QLatin1String("version")) != u"1")
                    return std::nullopt;
            } else {
                const std::optional<ReportedPackage> package
                    = xml.name() == u"package" ? readPackage(xml.attributes()) : std::nullopt;
                if (!package || packages.size() == maximumPackages)
                    return std::nullopt;
                packages.append(*package);
            }
            break;
        case QXmlStreamReader::EndElement:
            ended = --depth == 0;
            break;
        default:
            // No declarations, comments, instructions or entities: an updater sends none.
            return std::nullopt;
        }
    }
    if (xml.hasError() || !ended)
        return std::nullopt;
    return packages;
}
