#ifndef PACKAGEFIXTURE_H
#define PACKAGEFIXTURE_H

#include "downloaddirectory.h"
#include "manifestwalker.h"
#include "zipbuilder.h"

#include <QString>
#include <QTemporaryDir>

// A scratch area laid out like an updater run: base/tupdates/ as the download directory and
// base/opt/im (mode 0755, holding vorn, bin/im-client and lib/libold.so) as the root
// directory, given to the application as "-root".
class PackageFixture
{
public:
    PackageFixture();

    bool isValid() const { return temp.isValid(); }

private:
    QTemporaryDir temp; // first: the paths below are built from it

public:
    const QString base;
    const QString downloadDir;
    const QString root;
    // The download directory, opened as a run opens it.
    DownloadDirectory downloads;

    // Text of the directories the package names in its messages and records.
    QString extractDir() const { return downloadDir + "/core/"; }
    QString unwindDir() const { return extractDir() + "/unwind/"; }

    // Writes the archive where the download puts a package with this URL path.
    bool writeArchive(const QString &urlPath, const QList<ZipBuilder::Entry> &entries) const;

    // A manifest for component im/core/app around the given elements.
    static QByteArray manifest(const QByteArray &elements);
    static QByteArray fileElement(const QByteArray &name, const QByteArray &path,
                                  const QByteArray &action);

    // What a package is built from: the component it is for, and where its archive lies.
    struct Offer
    {
        ManifestWalker::Identity identity;
        QString archivePath;
    };
    static Offer offer(const QString &type = "app",
                       const QString &link = "http://localhost/core.zip",
                       const QString &project = "im", const QString &name = "core");
};

#endif // PACKAGEFIXTURE_H
