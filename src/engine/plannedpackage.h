#ifndef PLANNEDPACKAGE_H
#define PLANNEDPACKAGE_H

#include "offeredpackage.h"
#include "packagecheck.h"
#include "patchoffer.h"

#include <QList>
#include <QString>
#include <QUrl>

#include <utility>

// One offered package on its way through the run: what the reply says of it, and where it is
// fetched from and kept. The engine's plan owns it; what the download made of it comes back
// apart, as a FetchedPackage.
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

    const QString &name() const { return offer.name; }
};

#endif // PLANNEDPACKAGE_H
