#ifndef PATCHPACKAGE_H
#define PATCHPACKAGE_H

#include "installationdirectory.h"
#include "manifestwalker.h"

#include <QList>
#include <QString>

// A downloaded and verified patch package: binary deltas against the files of one installed
// release, besides whole new files and removals. Applied to the installation it becomes the
// ordinary package it stands for, which the installation run then takes as it takes any other,
// so backups, the journal and rollback never meet a delta. Shows nothing: a patch that does
// not fit is the caller's cue to fetch the whole package instead.
class PatchPackage
{
public:
    // urlPath: the patch package's path in its link, which names its manifest.
    PatchPackage(const QString &archivePath, const QString &urlPath);

    // Unpacks the patch into workDir (emptied first and removed after), rebuilds each patched
    // file from the installed one in installDir, and writes to output the archive of the
    // package at packageUrlPath: the rebuilt and the new files, stored, and a manifest that
    // adds them and removes what the patch removes. Every installed file must have the digest
    // its entry names, and every rebuilt one the digest of the new release; otherwise nothing
    // is written. output may be the patch's own path: the patch is unpacked before it is
    // written.
    bool rebuild(const ManifestWalker::Identity &identity, const QString &installDir,
                 const QString &workDir, const QString &output, const QString &packageUrlPath);
    QString errorString() const { return error; }

private:
    bool rebuildIn(const ManifestWalker::Identity &identity, const QString &installDir,
                   const QString &workDir);
    bool rebuildFile(const ManifestWalker::FileEntry &entry, const QString &relative,
                     const QString &unpacked);
    bool writeArchive(const ManifestWalker::Identity &identity, const QString &workDir,
                      const QString &output, const QString &packageUrlPath);
    bool fail(const QString &text);

    QString archivePath;
    QString urlPath;
    InstallationDirectory installation;
    // The entries of the rebuilt manifest; every file one adds is in the work directory.
    QList<ManifestWalker::FileEntry> entries;
    QString error;
};

#endif // PATCHPACKAGE_H
