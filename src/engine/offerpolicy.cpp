#include "offerpolicy.h"

#include "dottedversion.h"
#include "downloaddirectory.h"
#include "packageverifier.h"
#include "pathbeneath.h"
#include "plainname.h"
#include "translated.h"

#include <QDir>
#include <QFile>

namespace {

// The file name comes from the package address, which the server controls.
bool staysInside(const QString &dir, const QString &path)
{
    if (path.contains(QChar(0)) || path.startsWith(QLatin1String("//"))
        || path.split(QLatin1Char('/')).contains(QLatin1String("..")))
        return false;
    const QString root = QDir::cleanPath(dir);
    const QString target = QDir::cleanPath(root + QLatin1Char('/') + path);
    return target == root || target.startsWith(root + QLatin1Char('/'));
}

Failure refusal(const QString &text)
{
    return Failure(Failure::Refused, text);
}

} // namespace

OfferPolicy::OfferPolicy(const Installation &installation, const QList<QueriedComponent> &installed,
                         const PackageVerifier &verifier, qint64 maximumPackageSize)
    : installation(installation)
    , installed(installed)
    , verifier(verifier)
    , maximumPackageSize(maximumPackageSize)
{ }

QString OfferPolicy::tooLarge(const QString &name, qint64 bound)
{
    return translated("Package %1 is larger than the %2 bytes the updater downloads, so it will "
                      "not be installed.")
        .arg(name)
        .arg(bound);
}

// Names are data, never paths; links never name the updater's own places; a signature binds
// the package to its component and version, which must be newer than the installed one.
Failure OfferPolicy::check(const QVector<PlannedPackage> &plan) const
{
    QList<QByteArray> names;
    QList<QList<QByteArray>> paths;
    for (const PlannedPackage &planned : plan) {
        const OfferedPackage &offer = planned.offer;
        for (const QString *text : {&offer.project, &offer.name, &offer.type}) {
            if (!isPlainName(*text) || DownloadDirectory::isReservedName(*text))
                return refusal(translated("The update server named a component \"%1\", which "
                                          "cannot be used as a name, so no update is downloaded.")
                                   .arg(*text));
        }
        // As the working directory's name is written to the disk.
        const QByteArray name = QFile::encodeName(planned.name());
        // A component the messenger did not report is offered like any other, as a new
        // plug-in is; but each only once: two offers unpack into one working directory, where
        // the second would overwrite the first one's backups.
        if (names.contains(name))
            return refusal(translated("The update server offered package %1 more than once, so "
                                      "no update is downloaded.")
                               .arg(planned.name()));
        names.append(name);
        paths.append(PathBeneath::segmentsOf(planned.archivePath));
    }
    for (qsizetype i = 0; i < plan.size(); ++i) {
        const PlannedPackage &planned = plan.at(i);
        QList<QList<QByteArray>> otherPaths = paths;
        otherPaths.removeAt(i);
        QList<QByteArray> otherNames = names;
        otherNames.removeAt(i);
        // A patch's link is held to the rules of its package's own.
        QStringList links {planned.archivePath};
        for (const PatchOffer &patch : planned.offer.patches) {
            if (!patch.isNull())
                links.append(patch.link.path());
        }
        for (const QString &link : std::as_const(links)) {
            if (!staysInside(installation.downloadDir, link))
                return refusal(translated("Refusing to store package %1: its address leaves the "
                                          "download directory.")
                                   .arg(planned.name()));
            if (DownloadDirectory::namesWorkPlace(PathBeneath::segmentsOf(link), otherPaths,
                                                  names.at(i), otherNames))
                return refusal(translated("Refusing to store package %1: its address names a "
                                          "place where the updater keeps its own files.")
                                   .arg(planned.name()));
        }
        const PackageCheck &check = planned.offer.check;
        if (const Failure refused = verifier.precheck(check, planned.name()))
            return refused;
        if (check.has(PackageCheck::Size) && check.size > maximumPackageSize)
            return refusal(tooLarge(planned.name(), maximumPackageSize));
        if (const Failure failure = checkVersion(planned))
            return failure;
    }
    return Failure();
}

// Compared as dotted numbers. A version that cannot be compared passes only when no
// signature is asked for. A component that is not installed has nothing to compare with.
Failure OfferPolicy::checkVersion(const PlannedPackage &planned) const
{
    const QueriedComponent *component = installedComponent(planned.offer);
    if (!component)
        return Failure();
    const QString &offered = planned.offer.version;
    const QString current = component->version;
    const QVersionNumber offeredNumber = DottedVersion::parse(offered);
    const QVersionNumber installedNumber = DottedVersion::parse(current);
    if (offeredNumber.isNull() || installedNumber.isNull()) {
        if (!verifier.requiresSignature())
            return Failure();
        return refusal(translated("Package %1 is offered as version \"%2\", which cannot be "
                                  "compared with the installed version \"%3\", so it will not "
                                  "be installed.")
                           .arg(planned.name(), offered, current));
    }
    if (offeredNumber <= installedNumber)
        return refusal(translated("Package %1 is offered as version %2, which is not newer than "
                                  "the installed version %3, so it will not be installed.")
                           .arg(planned.name(), offered, current));
    return Failure();
}

// The first component of the messenger's query that the offer is for, if any.
const QueriedComponent *OfferPolicy::installedComponent(const OfferedPackage &offer) const
{
    for (const QueriedComponent &component : installed) {
        if (component.project == offer.project && component.name == offer.name
            && component.type == offer.type)
            return &component;
    }
    return nullptr;
}

PatchOffer OfferPolicy::patchFor(const PlannedPackage &planned) const
{
    const QueriedComponent *component = installedComponent(planned.offer);
    if (!component || installation.directoryFor(planned.offer.type).isNull())
        return PatchOffer();
    const QVersionNumber version = DottedVersion::parse(component->version);
    for (const PatchOffer &offer : planned.offer.patches) {
        const QUrl &url = offer.link;
        if (!version.isNull() && DottedVersion::parse(offer.from) == version
            && offer.check.has(PackageCheck::Checksum) && offer.check.has(PackageCheck::Size)
            && !verifier.precheck(offer.check, planned.name())
            && offer.check.size <= maximumPackageSize && url.isValid() && !url.path().isEmpty())
            return offer;
    }
    return PatchOffer();
}
