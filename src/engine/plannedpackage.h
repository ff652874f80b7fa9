#ifndef PLANNEDPACKAGE_H
#define PLANNEDPACKAGE_H

#include "packagecheck.h"
#include "patchoffer.h"
#include "textconversion.h"
#include "update.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

// One offered update on its way through the run: what the reply says of it, what is fetched
// for it, and what the download made of it. The engine's list of updates owns the record.
struct PlannedPackage
{
    Update *update = nullptr;
    // What the reply says to verify the whole package by, and the patches offered beside it.
    PackageCheck check;
    QList<PatchOffer> offeredPatches;
    // The patch fetched instead of the whole package; null: the whole package is.
    PatchOffer patch;
    // The whole package's size, as announced or as its HEAD answer said; -1 while unknown.
    qint64 wholeSize = -1;
    // The files rebuilt from the patch, lying unpacked already.
    QStringList rebuiltFiles;

    QString name() const { return latin1(update->getName()); }
    QUrl link() const { return QUrl(latin1(update->getLink())); }
    bool fetchesPatch() const { return !patch.isNull(); }
    // What the body fetched for it is held to: its patch's values, or its own.
    const PackageCheck &fetchedCheck() const { return patch.isNull() ? check : patch.check; }
};

#endif // PLANNEDPACKAGE_H
