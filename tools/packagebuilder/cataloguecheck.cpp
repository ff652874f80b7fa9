#include "cataloguecheck.h"

#include "catalogue.h"
#include "digest.h"
#include "ed25519.h"
#include "packagelink.h"
#include "packagestatement.h"
#include "replyformat.h"

#include <QFile>
#include <QMap>
#include <QUrl>

#include <algorithm>

namespace {

QString componentOf(const CatalogueEntry &entry)
{
    return QStringLiteral("%1/%2/%3").arg(entry.project, entry.name, entry.type);
}

} // namespace

bool CatalogueCheck::check(const QString &catalogueFile)
{
    fileName = catalogueFile;
    found.clear();
    reports.clear();
    linkLines.clear();
    packages = 0;
    Catalogue catalogue;
    if (!catalogue.load(catalogueFile)) {
        found << catalogue.errorString();
        return false;
    }
    checkVersions(catalogue.listed());
    for (const CatalogueEntry &entry : catalogue.listed()) {
        checkPackage(entry, entry.fields, entry.line);
        for (const CataloguePatch &patch : entry.patches)
            checkPackage(entry, patch.attributes, patch.line);
    }
    // In the order of the file, as the checks found them within a line.
    std::stable_sort(reports.begin(), reports.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    for (const auto &[line, message] : reports)
        found << QStringLiteral("%1:%2: %3").arg(fileName).arg(line).arg(message);
    return found.isEmpty();
}

QString CatalogueCheck::summary() const
{
    if (directory.isEmpty())
        return QStringLiteral("%1: %2 packages checked; their links and versions are sound (their "
                              "files were not looked at)")
            .arg(fileName)
            .arg(packages);
    return QStringLiteral("%1: %2 packages checked; each matches its file in %3 and is signed")
        .arg(fileName)
        .arg(packages)
        .arg(directory);
}

// One entry per version, so that which one is offered does not depend on their order; a patch
// only from an older version listed, so that the installations it is for exist.
void CatalogueCheck::checkVersions(const QList<CatalogueEntry> &entries)
{
    QHash<QString, QMap<QVersionNumber, qint64>> versions;
    for (const CatalogueEntry &entry : entries) {
        QMap<QVersionNumber, qint64> &listed = versions[componentOf(entry)];
        if (listed.contains(entry.version))
            report(entry.line,
                   QStringLiteral("%1 version %2 is listed already at line %3: give "
                                  "each version one entry")
                       .arg(componentOf(entry), entry.version.toString())
                       .arg(listed.value(entry.version)));
        else
            listed.insert(entry.version, entry.line);
    }
    for (const CatalogueEntry &entry : entries) {
        for (const CataloguePatch &patch : entry.patches) {
            const QString from = patch.attributes.value(ReplyFormat::from);
            if (patch.from >= entry.version)
                report(patch.line,
                       QStringLiteral("the patch from %1 is not from an older version "
                                      "than its entry's, %2")
                           .arg(from, entry.fields.value(ReplyFormat::version)));
            else if (!versions.value(componentOf(entry)).contains(patch.from))
                report(patch.line,
                       QStringLiteral("the patch from %1: the catalogue lists no "
                                      "version %1 of %2 to patch")
                           .arg(from, componentOf(entry)));
        }
    }
}

void CatalogueCheck::checkPackage(const CatalogueEntry &entry,
                                  const QHash<QString, QString> &values, qint64 line)
{
    ++packages;
    const QString link = values.value(ReplyFormat::link);
    const auto shared = linkLines.constFind(link);
    if (shared != linkLines.cend())
        report(line,
               QStringLiteral("the link %1 is the link of the package at line %2 too: "
                              "give each package a link of its own")
                   .arg(link)
                   .arg(*shared));
    else
        linkLines.insert(link, line);
    PackageLink rule;
    if (!rule.check(link, entry.name))
        report(line, rule.errorString());
    else if (!directory.isEmpty())
        checkFile(entry, values, line);
}

void CatalogueCheck::checkFile(const CatalogueEntry &entry, const QHash<QString, QString> &values,
                               qint64 line)
{
    const QString from = values.value(ReplyFormat::from);
    QFile file(directory + QUrl(values.value(ReplyFormat::link)).path(QUrl::FullyDecoded));
    if (!file.open(QIODevice::ReadOnly))
        return report(line, QStringLiteral("%1: %2").arg(file.fileName(), file.errorString()));
    const QString sizeText = values.value(ReplyFormat::size).trimmed();
    // The digest of the newest algorithm the entry names.
    const Digest::Algorithm algorithm
        = Digest::fromNamed([&values](Digest::Algorithm each) -> std::optional<QString> {
              if (!values.contains(Digest::name(each)))
                  return std::nullopt;
              return values.value(Digest::name(each)).trimmed();
          })
              .value_or(Digest(Digest::Published, QByteArray()))
              .algorithm();
    const QString digestText = values.value(Digest::name(algorithm)).trimmed().toLower();
    const QByteArray signature
        = QByteArray::fromBase64(values.value(ReplyFormat::signature).trimmed().toLatin1(),
                                 QByteArray::AbortOnBase64DecodingErrors);
    if (sizeText.isEmpty() || digestText.isEmpty() || signature.isEmpty())
        return report(line,
                      QStringLiteral("the package needs its %1, size and signature: "
                                     "an updater built with package keys refuses it "
                                     "without them")
                          .arg(Digest::name(algorithm)));
    if (sizeText.toLongLong() != file.size())
        report(line,
               QStringLiteral("%1 has %2 bytes, not the %3 listed")
                   .arg(file.fileName())
                   .arg(file.size())
                   .arg(sizeText));
    Digest::Hash hash;
    hash.reset(algorithm);
    for (QByteArray piece; !(piece = file.read(1 << 20)).isEmpty();)
        hash.add(piece.constData(), piece.size());
    if (file.error() != QFileDevice::NoError)
        return report(line, QStringLiteral("%1: %2").arg(file.fileName(), file.errorString()));
    const QString actual = QString::fromLatin1(hash.result().toHex());
    if (actual != digestText)
        report(line,
               QStringLiteral("%1 has the %2 %3, not the %4 listed")
                   .arg(file.fileName(), Digest::title(algorithm), actual, digestText));
    // The statement of what the catalogue lists, as the updater verifies it.
    const QByteArray statement = PackageStatement {entry.project,
                                                   entry.name,
                                                   entry.type,
                                                   entry.fields.value(ReplyFormat::version),
                                                   sizeText.toLongLong(),
                                                   Digest::fromHex(algorithm, digestText),
                                                   from}
                                     .text();
    const bool signedByKey = std::any_of(keys.cbegin(), keys.cend(), [&](const QByteArray &key) {
        return Ed25519::verify(key, reinterpret_cast<const unsigned char *>(statement.constData()),
                               statement.size(), signature);
    });
    if (!signedByKey)
        report(line,
               QStringLiteral("the signature is not that of the package's statement (%1 "
                              "version %2%3) by any of the package keys given")
                   .arg(componentOf(entry), entry.fields.value(ReplyFormat::version),
                        from.isEmpty() ? QString() : QStringLiteral(" from ") + from));
}

void CatalogueCheck::report(qint64 line, const QString &message)
{
    reports.emplace_back(line, message);
}
