#ifndef CATALOGUEFILE_H
#define CATALOGUEFILE_H

#include "catalogue.h"

#include <QByteArray>
#include <QString>
#include <QVersionNumber>

// A catalogue file that takes the entry of a release and keeps its other entries as written:
// an entry of the same component and version is replaced. The file is UTF-8.
class CatalogueFile
{
public:
    // A missing file is an empty catalogue.
    bool read(const QString &path);
    // The entries as read.
    const QList<CatalogueEntry> &entries() const { return catalogue.listed(); }
    // Once per read: the spans of the entries read are those of the text as read.
    void put(const QString &project, const QString &name, const QString &type,
             const QVersionNumber &version, const QByteArray &entry);
    // Written beside the file and renamed over it, so that a reader sees the old or the new.
    bool save();
    QString errorString() const { return error; }

private:
    bool fail(const QString &message);

    QString fileName;
    QString text;
    Catalogue catalogue;
    QString error;
};

#endif // CATALOGUEFILE_H
