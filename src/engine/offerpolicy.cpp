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
bool OfferPolicy::accepts(const QVector<PlannedPackage> &plan)
{
    QList<QByteArray> names;
    QList<QList<QByteArray>> paths;
    for (const PlannedPackage &planned : plan) {
        const Update *update = planned.update;
        for (const std::string *text :
             {&update->getProject(), &update->getName(), &update->getType()}) {
            if (!isPlainName(latin1(*text)) || DownloadDirectory::isReservedName(latin1(*text)))
                return fail(translated("The update server named a component \"%1\", which "
                                       "cannot be used as a name, so no update is downloaded.")
                                .arg(latin1(*text)));
        }
        // As the working directory's name is written to the disk.
        const QByteArray name = QFile::encodeName(planned.name());
        // A component the messenger did not report is offered like any other, as a new
        // plug-in is; but each only once: two offers unpack into one working directory, where
        // the second would overwrite the first one's backups.
        if (names.contains(name))
            return fail(translated("The update server offered package %1 more than once, so no "
                                   "update is downloaded.")
                            .arg(planned.name()));
        names.append(name);
        paths.append(PathBeneath::segmentsOf(planned.link().path()));
    }
    for (qsizetype i = 0; i < plan.size(); ++i) {
        const PlannedPackage &planned = plan.at(i);
        QList<QList<QByteArray>> otherPaths = paths;
        otherPaths.removeAt(i);
        QList<QByteArray> otherNames = names;
        otherNames.removeAt(i);
        // A patch's link is held to the rules of its package's own.
        QStringList links {planned.link().path()};
        for (const PatchOffer &patch : planned.offeredPatches) {
            if (!patch.isNull())
                links.append(QUrl(patch.link).path());
        }
        for (const QString &link : std::as_const(links)) {
            if (!staysInside(installation.downloadDir, link))
                return fail(translated("Refusing to store package %1: its address leaves the "
                                       "download directory.")
                                .arg(planned.name()));
            if (DownloadDirectory::namesWorkPlace(PathBeneath::segmentsOf(link), otherPaths,
                                                  names.at(i), otherNames))
                return fail(translated("Refusing to store package %1: its address names a "
                                       "place where the updater keeps its own files.")
                                .arg(planned.name()));
        }
        const PackageVerifier::Outcome outcome = verifier.precheck(planned.check);
        if (outcome != PackageVerifier::Accepted)
            return fail(PackageVerifier::message(outcome, planned.name(), planned.check));
        if (planned.check.has(PackageCheck::Size) && planned.check.size > maximumPackageSize)
            return fail(tooLarge(planned.name(), maximumPackageSize));
        if (refuseVersion(planned))
            return false;
    }
    error.clear();
    return true;
}

// Compared as dotted numbers. A version that cannot be compared passes only when no
// signature is asked for. A component that is not installed has nothing to compare with.
bool OfferPolicy::refuseVersion(const PlannedPackage &planned)
{
    const QueriedComponent *component = installedComponent(planned.update);
    if (!component)
        return false;
    const QString offered = latin1(planned.update->getVersion());
    const QString current = component->version;
    const QVersionNumber offeredNumber = DottedVersion::parse(offered);
    const QVersionNumber installedNumber = DottedVersion::parse(current);
    if (offeredNumber.isNull() || installedNumber.isNull()) {
        if (!verifier.requiresSignature())
            return false;
        return !fail(translated("Package %1 is offered as version \"%2\", which cannot be "
                                "compared with the installed version \"%3\", so it will not be "
                                "installed.")
                         .arg(planned.name(), offered, current));
    }
    if (offeredNumber <= installedNumber)
        return !fail(translated("Package %1 is offered as version %2, which is not newer than "
                                "the installed version %3, so it will not be installed.")
                         .arg(planned.name(), offered, current));
    return false;
}

// The first component of the messenger's query that the update is for, if any.
const QueriedComponent *OfferPolicy::installedComponent(const Update *update) const
{
    const QString project = latin1(update->getProject());
    const QString name = latin1(update->getName());
    const QString type = latin1(update->getType());
    for (const QueriedComponent &component : installed) {
        if (component.project == project && component.name == name && component.type == type)
            return &component;
    }
    return nullptr;
}

PatchOffer OfferPolicy::patchFor(const PlannedPackage &planned) const
{
    const QueriedComponent *component = installedComponent(planned.update);
    if (!component || installation.directoryFor(latin1(planned.update->getType())).isNull())
        return PatchOffer();
    const QVersionNumber version = DottedVersion::parse(component->version);
    for (const PatchOffer &offer : planned.offeredPatches) {
        const QUrl url(offer.link);
        if (!version.isNull() && DottedVersion::parse(offer.from) == version
            && offer.check.has(PackageCheck::Sha256) && offer.check.has(PackageCheck::Size)
            && verifier.precheck(offer.check) == PackageVerifier::Accepted
            && offer.check.size <= maximumPackageSize && url.isValid() && !url.path().isEmpty())
            return offer;
    }
    return PatchOffer();
}

bool OfferPolicy::fail(const QString &text)
{
    error = text;
    return false;
}
