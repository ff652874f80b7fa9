#include "vornupdatepackage.h"

#include "archiveextractor.h"
#include "downloaddirectory.h"
#include "freespace.h"
#include "installation.h"
#include "installationdirectory.h"
#include "installjournal.h"
#include "manifestformat.h"
#include "pathbeneath.h"
#include "replacefile.h"
#include "translated.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The directory's own text, as the run names it (with a trailing separator) in what it shows
// and records.
QString textOf(const DownloadDirectory &downloads)
{
    return downloads.location() + QLatin1Char('/');
}

// The working directory of a component, below the download directory.
QString workingDirectoryBelow(const QString &componentName)
{
    return DownloadDirectory::workingDirectory(QStringLiteral("."), componentName);
}

bool existsOrIsLink(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

std::function<void()> &changeHook()
{
    static std::function<void()> hook;
    return hook;
}

void beforeChange()
{
    if (changeHook())
        changeHook()();
}

} // namespace

VornUpdatePackage::VornUpdatePackage(const ManifestWalker::Identity &identity,
                                     const QString &archivePath, const Installation &installation)
    : identity(identity)
    , archivePath(archivePath)
    , componentName(identity.name)
{
    archiveBase = archivePath.left(qMax<qsizetype>(0, archivePath.size() - 4));

    const QString &type = identity.type;
    if (type == QLatin1String("app")) {
        installDir = installation.directoryFor(QStringLiteral("app"));
        if (installDir.isNull()) {
            rootCheck = Failure(Failure::Installation, translated("Cannot run update!"));
            return;
        }
    } else if (type == QLatin1String("plugin")) {
        installDir = installation.pluginDir();
    }
    if (!installDir.isEmpty())
        permissions = QFileInfo(installDir).permissions();
}

void VornUpdatePackage::setChangeHook(const std::function<void()> &hook)
{
    changeHook() = hook;
}

QString VornUpdatePackage::manifestPath(const QString &urlPath)
{
    return urlPath.left(qMax<qsizetype>(0, urlPath.size() - 4)) + QLatin1String(".xml");
}

void VornUpdatePackage::setUnpacked(const QStringList &files)
{
    unpacked = true;
    unpackedFiles = files;
}

Failure VornUpdatePackage::install(const DownloadDirectory &downloads, QStringList &files)
{
    if (rootCheck)
        return rootCheck;

    const QString dir = textOf(downloads);
    const QString extractDir = workingDirectoryBelow(componentName);
    unwindDir = DownloadDirectory::unwindDirectory(dir, componentName);
    // Tolerated: a directory that cannot be made fails the package at its first file (unpacked
    // or backed up), under that file's name, which tells the user more.
    PathBeneath::openDirectory(downloads.descriptor(), extractDir, true);
    // The journal names the unwind directory: it and the directories of the backups are on the
    // disk before any backup is, so that a power cut cannot take a backup with its directory.
    unwindRoot = PathBeneath::openDirectory(
        downloads.descriptor(),
        DownloadDirectory::unwindDirectory(QStringLiteral("."), componentName), true,
        PathBeneath::Synced);
    unwindParents.reset();
    if (unpacked) {
        for (const QString &name : std::as_const(unpackedFiles))
            files.append(QLatin1String(" - ") + name);
    } else if (const Failure failure = unpack(downloads, files)) {
        return failure;
    }

    // The first plug-in of a user finds no plug-in directory yet; when it cannot be made, the
    // first file fails to be installed there.
    if (identity.type == QLatin1String("plugin"))
        makePath(installDir);
    // Tolerated: a directory that cannot be opened fails the first file the package changes.
    installation.open(installDir);
    // Without the mode of the installation directory, new directories get rwxr-xr-x whatever
    // the umask.
    installation.setNewDirectoryMode(permissions ? -1 : 0755);

    QFile manifest;
    // A package that installs nothing is never reported as installed.
    if (!PathBeneath::openFile(downloads.descriptor(), extractDir + manifestPath(archivePath),
                               O_RDONLY)
             .handTo(manifest, QIODevice::ReadOnly))
        return Failure(Failure::Package,
                       translated("Package %1 holds no manifest, so it cannot be installed.")
                           .arg(componentName));

    // The run must be able to undo this package even if it is killed halfway.
    if (journal && !journal->recordPackage(installDir, unwindDir))
        return Failure(Failure::Storage,
                       translated("Cannot write installation journal %1!")
                           .arg(dir + QLatin1String("/journal")));

    const ManifestWalker walker(identity, [&](const ManifestWalker::FileEntry &e) {
        return applyEntry(e, downloads, extractDir);
    });
    return walker.walk(&manifest);
}

// The package's archive, unpacked into its working directory.
Failure VornUpdatePackage::unpack(const DownloadDirectory &downloads, QStringList &files)
{
    ArchiveExtractor extractor(downloads.descriptor(), archivePath,
                               workingDirectoryBelow(componentName));
    extractor.describe(componentName, textOf(downloads));
    // An entry named like the archive (a URL path under "/<component name>/") or lying in
    // the unwind directory would destroy the archive or forge a backup: it fails the package.
    extractor.protect(archivePath);
    extractor.protect(DownloadDirectory::unwindDirectory(QString(), componentName));
    const Failure failure = extractor.extract();

    const QString ownManifest = componentName + QLatin1String(".xml");
    for (const QString &name : extractor.getUnpackedFiles()) {
        if (name != ownManifest)
            files.append(QLatin1String(" - ") + name);
    }
    return failure;
}

Failure VornUpdatePackage::applyEntry(const ManifestWalker::FileEntry &entry,
                                      const DownloadDirectory &downloads, const QString &extractDir)
{
    QString relative;
    QString absoluteTarget;
    if (!placeOf(installDir, entry, &relative, &absoluteTarget))
        return Failure();

    const InstallationDirectory::Presence presence = installation.presence(relative);
    if (presence == InstallationDirectory::BeyondLink)
        return beyondLink(absoluteTarget);
    const bool existed = presence == InstallationDirectory::Present;
    // The backup mirrors the cleaned path, so a ".." in the entry cannot lead it out of the
    // unwind directory.
    if (existed) {
        if (const Failure failure = backUp(relative, absoluteTarget, entry))
            return failure;
    }

    const QString tag
        = QStringLiteral("%1_%2_%3").arg(identity.project, identity.name, identity.type);
    const bool add = entry.action == ManifestFormat::add;
    if (entry.action == ManifestFormat::remove || (add && entry.name.startsWith(tag))) {
        if (existed) {
            beforeChange();
            installation.remove(relative);
        }
        return Failure();
    }
    if (!add)
        return Failure();

    const QString below = entry.path + QLatin1Char('/') + entry.name;
    // The unpacked file lies in the download directory: a link put in its place is no source,
    // nor is anything above the directory.
    const FileDescriptor file = PathBeneath::openFile(
        downloads.descriptor(), QDir::cleanPath(extractDir + QLatin1Char('/') + below), O_RDONLY);
    const QString source = DownloadDirectory::workingDirectory(textOf(downloads), componentName)
        + QLatin1Char('/') + below;
    beforeChange();
    if (!file.isValid()
        || !installation.replace(relative, file.get(), int(modeOf(filePermissions(file.get()))))) {
        if (file.isValid() && errno == ELOOP)
            return beyondLink(absoluteTarget);
        return Failure(Failure::Storage,
                       translated("Cannot copy file %1 to %2!").arg(source, absoluteTarget));
    }
    return Failure();
}

Failure VornUpdatePackage::beyondLink(const QString &absoluteTarget)
{
    return Failure(Failure::Installation,
                   translated("Cannot change %1: a symbolic link stands in its way, so the "
                              "package is not installed.")
                       .arg(absoluteTarget));
}

Failure VornUpdatePackage::backUp(const QString &relative, const QString &absoluteTarget,
                                  const ManifestWalker::FileEntry &entry)
{
    // A file listed twice keeps its first backup, which holds it as it stood before the
    // package. Any other failure stops the package before the file is touched, since the
    // change could not be undone. A directory there holds other backups and is none itself.
    const QString backup = unwindDir + relative;
    const QFileInfo backupInfo(backup);
    if (backupInfo.isDir() || !existsOrIsLink(backup)) {
        // Without its directory the backup fails just below, naming itself.
        QByteArray backupName;
        const int backupDirectory = unwindParents.parentOf(unwindRoot.get(), relative, &backupName,
                                                           true, -1, PathBeneath::Synced);
        beforeChange();
        if (!installation.backUp(relative, backupDirectory, backupName))
            return Failure(Failure::Storage,
                           translated("Cannot copy file %1 to %2!").arg(absoluteTarget, backup));
    }
    if (!backupDirs.contains(entry.path))
        backupDirs.append(entry.path);
    backupFiles.append(entry.path + QLatin1Char('/') + entry.name);
    return Failure();
}

bool VornUpdatePackage::unwind(const DownloadDirectory &downloads)
{
    unwindDir = DownloadDirectory::unwindDirectory(textOf(downloads), componentName);
    if (!installation.isOpen() && !backupFiles.isEmpty() && !installation.open(installDir))
        return false;

    // Recorded only once install() found them inside the installation directory.
    for (const QString &path : std::as_const(backupDirs)) {
        QString relative;
        staysIn(installDir, path, &relative);
        if (!installation.makeDirectory(relative))
            return false;
    }
    // Every file that can be put back is, even after one that cannot: the journal keeps the
    // rest for the next run.
    bool restored = true;
    for (const QString &file : std::as_const(backupFiles)) {
        QString relative;
        staysIn(installDir, file, &relative);
        if (!installation.restore(relative, unwindDir + relative))
            restored = false;
    }
    return restored;
}

bool VornUpdatePackage::staysIn(const QString &installDir, const QString &path, QString *relative)
{
    return PathBeneath::isWithin(
        installDir, PathBeneath::cleanAbsolute(installDir + QLatin1Char('/') + path), relative);
}

// Neither the file nor its directory may leave the installation directory.
bool VornUpdatePackage::placeOf(const QString &installDir, const ManifestWalker::FileEntry &entry,
                                QString *relative, QString *absolute)
{
    const QString target = PathBeneath::cleanAbsolute(installDir + QLatin1Char('/') + entry.path
                                                      + QLatin1Char('/') + entry.name);
    if (!PathBeneath::isWithin(installDir, target, relative) || relative->isEmpty()
        || !staysIn(installDir, entry.path))
        return false;
    if (absolute)
        *absolute = target;
    return true;
}

QFile::Permissions VornUpdatePackage::filePermissions(int source) const
{
    if (permissions)
        return permissions;
    // The installation directory did not exist when the package was built, so it has no mode
    // to pass on: rw-r--r--, plus the owner's execute bit of the unpacked file.
    QFile::Permissions fallback
        = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
    struct stat status;
    if (::fstat(source, &status) == 0 && (status.st_mode & S_IXUSR))
        fallback |= QFile::ExeOwner;
    return fallback;
}

void VornUpdatePackage::makePath(const QString &path) const
{
    // Tolerated here: what cannot be made fails the first file installed there.
    QStringList missing;
    for (QString current = PathBeneath::cleanAbsolute(path); !existsOrIsLink(current);
         current = QFileInfo(current).path())
        missing.prepend(current);
    for (const QString &directory : std::as_const(missing)) {
        if (!QDir().mkdir(directory))
            return;
        // Without the mode of the installation directory, new directories get rwxr-xr-x
        // whatever the umask.
        if (!permissions)
            QFile::setPermissions(directory,
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                      | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther
                                      | QFile::ExeOther);
        // On the disk before anything is installed in it, as every change of the run is.
        const FileDescriptor parent(
            ::open(QFile::encodeName(QFileInfo(directory).path()).constData(),
                   O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!parent.isValid() || ::fsync(parent.get()) != 0)
            return;
    }
}
