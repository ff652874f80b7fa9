#include "releasepublisher.h"

#include "catalogue.h"
#include "cataloguefile.h"
#include "dottedversion.h"
#include "packagelink.h"
#include "releasetree.h"
#include "replyformat.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QUrl>

void ReleasePublisher::setPublishing(const QString &url, const QString &wwwDirectory)
{
    publishUrl = url.endsWith(u'/') ? url : url + u'/';
    www = wwwDirectory;
}

bool ReleasePublisher::publish(const QString &catalogueFile)
{
    CatalogueFile catalogue;
    QStringList removals;
    if (!catalogue.read(catalogueFile))
        return fail(catalogue.errorString());
    if (!checkPlan(catalogue.entries()) || !removedFiles(&removals))
        return false;

    QByteArray entry;
    if (!buildPackage(nullptr, removals, &entry))
        return false;
    QByteArray patches;
    for (const EarlierRelease &release : std::as_const(earlier)) {
        QByteArray patch;
        if (!buildPackage(&release, {}, &patch))
            return false;
        patches += "    " + patch;
    }
    entry.insert(entry.lastIndexOf("</component>"), patches);
    catalogue.put(info.project, info.name, info.type, DottedVersion::parse(info.version), entry);
    return catalogue.save() || fail(catalogue.errorString());
}

QString ReleasePublisher::linkOf(const EarlierRelease *from) const
{
    return publishUrl
        + (from ? QStringLiteral("%1-%2-to-%3.zip").arg(info.name, from->version, info.version)
                : QStringLiteral("%1-%2.zip").arg(info.name, info.version));
}

// Refused before anything is written: what the updater would not take, and a package that
// would take the place of another.
bool ReleasePublisher::checkPlan(const QList<CatalogueEntry> &entries)
{
    const QVersionNumber version = DottedVersion::parse(info.version);
    if (version.isNull())
        return fail(QStringLiteral("the version must be dotted numbers such as 1.2.0"));
    QStringList links = {linkOf(nullptr)};
    QSet<QVersionNumber> earlierVersions;
    for (const EarlierRelease &release : std::as_const(earlier)) {
        const QVersionNumber from = DottedVersion::parse(release.version);
        if (from.isNull())
            return fail(QStringLiteral("the earlier release's version %1 must be dotted numbers")
                            .arg(release.version));
        if (from >= version)
            return fail(QStringLiteral("the version %1 is not newer than the earlier release %2: "
                                       "give a higher --version, or --earlier only the "
                                       "releases before it")
                            .arg(info.version, release.version));
        if (earlierVersions.contains(from))
            return fail(
                QStringLiteral("the earlier release %1 is given twice").arg(release.version));
        earlierVersions.insert(from);
        links << linkOf(&release);
    }
    for (const QString &link : std::as_const(links)) {
        PackageLink rule;
        if (!rule.check(link, info.name))
            return fail(QStringLiteral("%1: %2").arg(link, rule.errorString()));
    }
    // The entries that stay, and the links they hold.
    QHash<QString, qint64> kept;
    for (const CatalogueEntry &entry : entries) {
        if (entry.project == info.project && entry.name == info.name && entry.type == info.type
            && entry.version == version)
            continue;
        kept.insert(entry.fields.value(ReplyFormat::link), entry.line);
        for (const CataloguePatch &patch : entry.patches)
            kept.insert(patch.attributes.value(ReplyFormat::link), patch.line);
    }
    for (const QString &link : std::as_const(links)) {
        if (kept.contains(link))
            return fail(QStringLiteral("%1 is the link of the package at line %2 of the "
                                       "catalogue already: publish the release at another "
                                       "address, or its packages would take each other's place")
                            .arg(link)
                            .arg(kept.value(link)));
    }
    return true;
}

// The whole package brings any installation to this release: what the newest earlier release
// has and this one lacks goes.
bool ReleasePublisher::removedFiles(QStringList *removals)
{
    if (earlier.isEmpty())
        return true;
    const EarlierRelease *newest = &earlier.first();
    for (const EarlierRelease &release : std::as_const(earlier)) {
        if (DottedVersion::parse(release.version) > DottedVersion::parse(newest->version))
            newest = &release;
    }
    ReleaseTree release;
    ReleaseTree previous;
    QStringList files;
    QStringList previousFiles;
    if (!release.open(directory) || !release.collect(&files))
        return fail(release.errorString());
    if (!previous.open(newest->directory) || !previous.collect(&previousFiles))
        return fail(previous.errorString());
    const QSet<QString> kept(files.cbegin(), files.cend());
    for (const QString &file : std::as_const(previousFiles)) {
        if (!kept.contains(file))
            removals->append(file);
    }
    return true;
}

bool ReleasePublisher::buildPackage(const EarlierRelease *from, const QStringList &removals,
                                    QByteArray *entry)
{
    PackageInfo package = info;
    package.link = linkOf(from);
    PackageBuilder builder(package);
    if (from)
        builder.setPatchFrom(from->directory, from->version);
    builder.setJobs(jobs);
    builder.setSigningKey(signer);
    const QString output = www + QUrl(package.link).path(QUrl::FullyDecoded);
    if (!QDir().mkpath(QFileInfo(output).path()))
        return fail(QStringLiteral("cannot make the directory of %1").arg(output));
    if (!builder.build(directory, removals, output))
        return fail(QStringLiteral("%1: %2").arg(output, builder.errorString()));
    notes << builder.warnings();
    *entry = builder.catalogueEntry();
    return true;
}

bool ReleasePublisher::fail(const QString &message)
{
    error = message;
    return false;
}
