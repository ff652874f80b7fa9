#ifndef FETCHEDPACKAGE_H
#define FETCHEDPACKAGE_H

#include "patchoffer.h"

#include <QString>
#include <QStringList>

// What the download made of one planned package, for the installation run to take: the patch
// that stands in its place, or the whole package lying in the download directory.
struct FetchedPackage
{
    // The patch fetched and rebuilt instead of the whole package; null: the whole package was.
    PatchOffer patch;
    // The whole package's size, as announced or as its HEAD answer said; -1 while unknown.
    qint64 wholeSize = -1;
    // The files rebuilt from the patch, lying unpacked already.
    QStringList rebuiltFiles;

    bool isPatched() const { return !patch.isNull(); }
};

#endif // FETCHEDPACKAGE_H
