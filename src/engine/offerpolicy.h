#ifndef OFFERPOLICY_H
#define OFFERPOLICY_H

#include "failure.h"
#include "installation.h"
#include "plannedpackage.h"
#include "queryparser.h"

#include <QList>
#include <QString>
#include <QVector>

class PackageVerifier;

// Every refusal of what the reply offers before a single request: names that are no plain
// names, links that leave the download directory or name the run's own places (a patch's
// link too), components that come twice, what the package key cannot vouch for, sizes beyond
// the bound, versions not newer than the installed ones; and the choice of a patch to fetch in
// a package's place. A component the messenger did not report has no installed version, so
// only its version goes unchecked, and no patch is chosen for it.
class OfferPolicy
{
public:
    OfferPolicy(const Installation &installation, const QList<QueriedComponent> &installed,
                const PackageVerifier &verifier, qint64 maximumPackageSize);

    // A failure when the run must not fetch anything.
    Failure check(const QVector<PlannedPackage> &plan) const;

    // The patch to fetch instead of the whole package, null when none fits: only one for the
    // version installed, and only one that carries the digest and size it will be held to.
    PatchOffer patchFor(const PlannedPackage &planned) const;

    // The text for a package that is larger than the bound.
    static QString tooLarge(const QString &name, qint64 bound);

private:
    Failure checkVersion(const PlannedPackage &planned) const;
    const QueriedComponent *installedComponent(const OfferedPackage &offer) const;

    Installation installation;
    QList<QueriedComponent> installed;
    const PackageVerifier &verifier;
    qint64 maximumPackageSize;
};

#endif // OFFERPOLICY_H
