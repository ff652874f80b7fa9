#ifndef OFFEREDPACKAGE_H
#define OFFEREDPACKAGE_H

#include "packagecheck.h"
#include "patchoffer.h"

#include <QList>
#include <QString>

class QDomElement;
class Update;

// One package the update server offers: a "request" element of its reply that offers
// something, read once. Project, name, type and version are kept as the reply's bytes, one
// character each, since a package statement binds those bytes and names on the disk are made
// from them; the texts a person reads and the link are decoded as the document says.
struct OfferedPackage
{
    QString project;
    QString name;
    QString type;
    QString version;
    // What the windows show.
    QString description;
    QString copyrights;
    QString author;
    QString webpage;
    QString email;
    QString changelog;
    bool critical = false;
    unsigned int timestamp = 0;
    // The whole package's address, as the reply writes it.
    QString link;
    // What the reply says to verify the whole package by, and the patches offered beside it.
    PackageCheck check;
    QList<PatchOffer> patches;

    // A "request" element that offers an update, decoded once.
    static OfferedPackage fromRequest(const QDomElement &request);
    // The client library's record of the offer, which the windows read.
    Update toUpdate() const;
};

#endif // OFFEREDPACKAGE_H
