#ifndef PATCHOFFER_H
#define PATCHOFFER_H

#include "packagecheck.h"

#include <QString>
#include <QUrl>

// A patch package that the update server offers beside a package, for installations of one
// version: a "patch" child of the package's "request" element.
struct PatchOffer
{
    QString from; // the installed version it applies to, as the reply writes it
    QUrl link; // parsed as it is read: nothing needs its text
    PackageCheck check; // its attributes of digest, signature and size

    bool isNull() const { return link.isEmpty(); }
};

#endif // PATCHOFFER_H
