#ifndef PACKAGESTATEMENT_H
#define PACKAGESTATEMENT_H

#include "digest.h"

#include <QByteArray>
#include <QString>

// What a publisher signs for a package: which component and version it is, and the exact
// bytes (size and digest). A signature over this statement cannot be moved to another
// component or version, nor to other bytes. The text is canonical:
//
//     vorn-package-statement 1
//     project <project>
//     name <name>
//     type <type>
//     version <version>
//     from <installed version>      (a patch package only)
//     size <decimal bytes>
//     <algorithm> <lower-case hex digits>   (the digest: "sha256" and 64 digits)
//
// each line ending with a line feed, the values in Latin-1 as the update server sends them.
struct PackageStatement
{
    QString project;
    QString name;
    QString type;
    QString version;
    qint64 size = -1;
    Digest digest;
    // A patch package's: the installed version it applies to; empty for a full package.
    QString from = {};

    // False when a value cannot be written unambiguously (a line break or NUL in it, a text
    // beyond Latin-1, no digest, no size).
    bool isComplete() const;
    QByteArray text() const;
};

#endif // PACKAGESTATEMENT_H
