#ifndef PATCHPACKAGE_H
#define PATCHPACKAGE_H

#include "digest.h"
#include "failure.h"
#include "filedescriptor.h"
#include "installationdirectory.h"
#include "manifestwalker.h"

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <atomic>

class DownloadDirectory;

// A downloaded and verified patch package: binary deltas against the files of one installed
// release, besides whole new files and removals. Rebuilt against the installation, it becomes
// the unpacked package it stands for, which the installation run then takes as it takes any
// other, so backups, the journal and rollback never meet a delta. Shows nothing: a patch that
// does not fit is the caller's cue to fetch the whole package instead.
//
// Nothing outside the verified archive decides what is read: the manifest and the deltas are
// taken only from the entries unpacked from it, beneath the working directory.
class PatchPackage
{
public:
    // archivePath: where the patch lies below the download directory.
    // urlPath: the path of the patch's link, which names the archive entry of its manifest
    // (the path with ".xml"; only an entry unpacked from the archive is ever read as it).
    // wholeSize: the size of the whole package the patch stands for, which bounds what the
    // rebuild may write as it bounds what that package may unpack to; -1 when unknown.
    PatchPackage(const QString &archivePath, const QString &urlPath, qint64 wholeSize);

    // Set from another thread, it ends rebuild() at the next block, leaving nothing behind.
    void setCancelFlag(const std::atomic_bool *flag) { cancel = flag; }

    // Unpacks the patch into the component's working directory in the download directory
    // downloads, beneath it as the installer unpacks a package, rebuilds there each patched file
    // from the installed one in installDir, and writes the manifest of the package at
    // packageUrlPath beside them: the patch's own, with every patch an addition. Every installed
    // file must be a plain file with the digest its entry names, and every rebuilt one have the
    // digest of the new release; otherwise the working directory is removed, and the failure says
    // why: a Storage failure with its errno when the disk was full, which the whole package would
    // meet as well; a Package failure otherwise.
    Failure rebuild(const ManifestWalker::Identity &identity, const QString &installDir,
                    const DownloadDirectory &downloads, const QString &packageUrlPath);
    // The files unpacked, as the installation run logs them.
    const QStringList &unpackedFiles() const { return files; }

private:
    struct Delta
    {
        QString entry; // the archive entry that holds it
        QString relative; // the installed file, below the installation directory
        Digest from;
        Digest to;
    };

    bool rebuildIn(const ManifestWalker::Identity &identity, const QString &installDir,
                   const DownloadDirectory &downloads, const QString &packageUrlPath);
    bool readManifest(const ManifestWalker::Identity &identity, const QString &installDir,
                      const QSet<QString> &unpacked);
    bool fitsBudget(quint64 unpackedBytes, qint64 archiveSize);
    bool rebuildFile(const Delta &delta);
    bool hashInstalled(const QByteArray &bytes, Digest::Algorithm algorithm, Digest *digest) const;
    bool writeManifest(const ManifestWalker::Identity &identity, const QString &relativePath);
    bool isCancelled() const { return cancel && cancel->load(std::memory_order_relaxed); }
    bool fail(const QString &text, int systemError = 0);
    Failure failure() const;

    QString archivePath;
    QString manifestEntry;
    qint64 wholeSize;
    const std::atomic_bool *cancel = nullptr;
    InstallationDirectory installation;
    FileDescriptor workDirectory;
    // The entries of the rebuilt manifest, and the deltas that become their files.
    QList<ManifestWalker::FileEntry> entries;
    QList<Delta> deltas;
    QStringList files;
    QString error;
    int systemError = 0;
};

#endif // PATCHPACKAGE_H
