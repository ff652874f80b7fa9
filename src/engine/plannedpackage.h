#ifndef PLANNEDPACKAGE_H
#define PLANNEDPACKAGE_H

#include "offeredpackage.h"
#include "packagecheck.h"
#include "patchoffer.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <utility>

// One offered package on its way through the run: what the reply says of it, where it is
// fetched from and kept, and what the download made of it. The engine's plan owns it.
struct PlannedPackage
{
    explicit PlannedPackage(OfferedPackage offered)
        : offer(std::move(offered))
        , url(offer.link)
        , archivePath(url.path())
    { }

    OfferedPackage offer;
    // The link, parsed here alone, and the path beneath the download directory where the
    // package's archive is kept, which is the link's path.
    QUrl url;
    QString archivePath;
    // The patch fetched instead of the whole package; null: the whole package is.
    PatchOffer patch;
    // The whole package's size, as announced or as its HEAD answer said; -1 while unknown.
    qint64 wholeSize = -1;
    // The files rebuilt from the patch, lying unpacked already.
    QStringList rebuiltFiles;

    const QString &name() const { return offer.name; }
    bool fetchesPatch() const { return !patch.isNull(); }
    // What the body fetched for it is held to: its patch's values, or its own.
    const PackageCheck &fetchedCheck() const { return patch.isNull() ? offer.check : patch.check; }
};

#endif // PLANNEDPACKAGE_H
