#ifndef VORNUPDATEPACKAGE_H
#define VORNUPDATEPACKAGE_H

#include "failure.h"
#include "installationdirectory.h"
#include "manifestwalker.h"
#include "parentdirectorycache.h"

#include <QFile>
#include <QString>
#include <QStringList>

#include <functional>

class DownloadDirectory;
class InstallJournal;
struct Installation;

// One downloaded update package during the installation run: its zip archive, its manifest
// and the backups that let the run undo what it installed.
//
// Contract with the installation run:
// - Build the object immediately before installing it. For an "app" package the constructor
//   checks the installation's root directory, given after the first "-root" argument (it must
//   exist and hold "vorn"). When that check fails, rootFailure() tells why, install() refuses
//   and changes nothing, unwind() has nothing to restore. The run must then tell the user and
//   stop at once: install neither this package nor a later one, unwind nothing, run no fix-up
//   script, emit no end signal, leave the download directory alone, and end the application.
// - Shows nothing. install() returns each failure with the text the user reads; it carries the
//   system's error only when an unpacked file cannot be created, which the run's question
//   names too. files gets one " - name" line per unpacked file, also when install() fails.
// - Keep the object until the end of the run: unwind() works from the records that its own
//   install() made. Files that the package added where none stood stay after unwind().
class VornUpdatePackage
{
public:
    // archivePath: where the package's archive lies beneath the download directory, which is
    // the path of the package's URL.
    VornUpdatePackage(const ManifestWalker::Identity &identity, const QString &archivePath,
                      const Installation &installation);

    // Why the package can be installed nowhere: the failed root check; success otherwise.
    const Failure &rootFailure() const { return rootCheck; }
    bool isValid() const { return !rootCheck; }

    // The run's journal, noted before the package changes its first file.
    void setJournal(InstallJournal *runJournal) { journal = runJournal; }

    // Where the manifest lies in the unpacked archive of the package at that URL path: the
    // path with ".xml" for its last four characters.
    static QString manifestPath(const QString &urlPath);

    // Where install() puts a manifest entry in installDir: relative receives its cleaned path
    // below it, absolute the whole cleaned path. False for an entry that install() skips: one
    // whose file or directory lies outside, or that names the directory itself.
    static bool placeOf(const QString &installDir, const ManifestWalker::FileEntry &entry,
                        QString *relative, QString *absolute = nullptr);

    // The package lies unpacked in its working directory already, these files with it (it was
    // rebuilt from a patch package): install() takes it from there, not from an archive.
    void setUnpacked(const QStringList &files);

    // Called before every file operation of an installation (backup, removal, replacement).
    // Tests use it to stop a run at a chosen point; it does nothing otherwise.
    static void setChangeHook(const std::function<void()> &hook);

    // downloads is the run's download directory, which holds the archive under the path of the
    // package URL; the archive and the unpacked files are reached beneath it. Success when the
    // manifest was applied to its end.
    Failure install(const DownloadDirectory &downloads, QStringList &files);
    // Puts back every backup that install() recorded; false at the first that cannot be put
    // back. Shows nothing.
    bool unwind(const DownloadDirectory &downloads);

    const QString &getUnwindDir() const { return unwindDir; }
    const QString &getInstallDir() const { return installDir; }
    const QString &getComponentName() const { return componentName; }
    const QString &getArchiveBase() const { return archiveBase; }
    const QStringList &getBackupDirs() const { return backupDirs; }
    const QStringList &getBackupFiles() const { return backupFiles; }
    QFile::Permissions getPermissions() const { return permissions; }

private:
    Failure unpack(const DownloadDirectory &downloads, QStringList &files);
    Failure applyEntry(const ManifestWalker::FileEntry &entry, const DownloadDirectory &downloads,
                       const QString &extractDir);
    Failure backUp(const QString &relative, const QString &absoluteTarget,
                   const ManifestWalker::FileEntry &entry);
    static Failure beyondLink(const QString &absoluteTarget);
    // Whether a path of the manifest, taken below installDir and cleaned, stays in it; relative
    // receives the cleaned part below it.
    static bool staysIn(const QString &installDir, const QString &path,
                        QString *relative = nullptr);
    QFile::Permissions filePermissions(int source) const;
    void makePath(const QString &path) const;

    ManifestWalker::Identity identity;
    QString archivePath;
    QString unwindDir;
    QString installDir;
    QString componentName;
    QString archiveBase;
    QStringList backupDirs;
    QStringList backupFiles;
    QFile::Permissions permissions;
    Failure rootCheck;
    bool unpacked = false;
    QStringList unpackedFiles;
    InstallJournal *journal = nullptr;
    InstallationDirectory installation;
    // The unwind directory, and the directory of the last backup made beneath it.
    FileDescriptor unwindRoot;
    ParentDirectoryCache unwindParents;
};

#endif // VORNUPDATEPACKAGE_H
