#ifndef PATCHPACKAGE_H
#define PATCHPACKAGE_H

#include "installationdirectory.h"
#include "manifestwalker.h"

#include <QList>
#include <QString>
#include <QStringList>

// A downloaded and verified patch package: binary deltas against the files of one installed
// release, besides whole new files and removals. Rebuilt against the installation, it becomes
// the unpacked package it stands for, which the installation run then takes as it takes any
// other, so backups, the journal and rollback never meet a delta. Shows nothing: a patch that
// does not fit is the caller's cue to fetch the whole package instead.
class PatchPackage
{
public:
    // urlPath: the patch package's path in its link, which names its manifest.
    PatchPackage(const QString &archivePath, const QString &urlPath);

    // Unpacks the patch into the component's working directory in the download directory
    // dir, rebuilds there each patched file from the installed one in installDir, and writes
    // the manifest of the package at packageUrlPath beside them: the patch's own, with every
    // patch an addition. Every installed file must have the digest its entry names, and every
    // rebuilt one the digest of the new release; otherwise the working directory is left
    // empty.
    bool rebuild(const ManifestWalker::Identity &identity, const QString &installDir,
                 const QString &dir, const QString &packageUrlPath);
    // The files unpacked, as the installation run logs them.
    const QStringList &unpackedFiles() const { return files; }
    QString errorString() const { return error; }

private:
    bool rebuildIn(const ManifestWalker::Identity &identity, const QString &installDir,
                   const QString &dir, const QString &packageUrlPath);
    bool rebuildFile(const ManifestWalker::FileEntry &entry, const QString &relative,
                     const QString &unpacked);
    bool writeManifest(const ManifestWalker::Identity &identity, const QString &path);
    bool fail(const QString &text);

    QString archivePath;
    QString urlPath;
    InstallationDirectory installation;
    // The entries of the rebuilt manifest.
    QList<ManifestWalker::FileEntry> entries;
    QStringList files;
    QString error;
};

#endif // PATCHPACKAGE_H
