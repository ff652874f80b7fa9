#ifndef PACKAGESTATEMENT_H
#define PACKAGESTATEMENT_H

#include <QByteArray>
#include <QString>

// What a publisher signs for a package: which component and version it is, and the exact
// bytes (size and SHA-256). A signature over this statement cannot be moved to another
// component or version, nor to other bytes. The text is canonical:
//
//     vorn-package-statement 1
//     project <project>
//     name <name>
//     type <type>
//     version <version>
//     from <installed version>      (a patch package only)
//     size <decimal bytes>
//     sha256 <64 lower-case hex digits>
//
// each line ending with a line feed, the values in Latin-1 as the update server sends them.
struct PackageStatement
{
    QString project;
    QString name;
    QString type;
    QString version;
    qint64 size = -1;
    QByteArray sha256; // 32 bytes
    // A patch package's: the installed version it applies to; empty for a full package.
    QString from = {};

    // False when a value cannot be written unambiguously (a line break or NUL in it, a text
    // beyond Latin-1, a digest of another length, no size).
    bool isComplete() const;
    QByteArray text() const;
};

#endif // PACKAGESTATEMENT_H
