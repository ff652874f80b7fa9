#ifndef PLANNEDPACKAGE_H
#define PLANNEDPACKAGE_H

#include "packagecheck.h"
#include "patchoffer.h"
#include "textconversion.h"
#include "update.h"

#include <QList>
#include <QString>
#include <QUrl>

// One offered update on its way through the run: what the reply says of it. The engine's list
// of updates owns the record.
struct PlannedPackage
{
    Update *update = nullptr;
    // What the reply says to verify the whole package by, and the patches offered beside it.
    PackageCheck check;
    QList<PatchOffer> offeredPatches;

    QString name() const { return latin1(update->getName()); }
    QUrl link() const { return QUrl(latin1(update->getLink())); }
};

#endif // PLANNEDPACKAGE_H
