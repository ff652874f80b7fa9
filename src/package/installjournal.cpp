#include "installjournal.h"

#include "downloaddirectory.h"
#include "installationdirectory.h"
#include "pathbeneath.h"
#include "replacefile.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QPair>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

FileDescriptor openJournal(const DownloadDirectory &downloads, int flags)
{
    return downloads.isOpen()
        ? PathBeneath::openFile(downloads.descriptor(), DownloadDirectory::journalName(), flags)
        : FileDescriptor();
}

// Leftovers of a copy that was cut short: Qt's own temporary copies in the unwind directory,
// and our replacement copies beside installed files. Neither is a backup or an installed file.
bool isUnfinishedCopy(const QString &name)
{
    return name.startsWith(QLatin1String("qt_temp.")) || name.startsWith(replacementCopyPrefix());
}

void removeUnfinishedCopies(const QString &installDir)
{
    // Removed as every change in the installation is made, flushed, before the journal goes:
    // afterwards nothing would remove a copy that came back.
    InstallationDirectory installation;
    if (!installation.open(installDir))
        return;
    const QDir base(installDir);
    QDirIterator it(installDir, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        if (it.fileName().startsWith(replacementCopyPrefix()))
            installation.remove(base.relativeFilePath(it.filePath()));
    }
}

bool removeJournal(const DownloadDirectory &downloads)
{
    return downloads.isOpen()
        && (::unlinkat(downloads.descriptor(),
                       QFile::encodeName(DownloadDirectory::journalName()).constData(), 0)
                == 0
            || errno == ENOENT)
        && ::fsync(downloads.descriptor()) == 0;
}

} // namespace

// Exactly as recordPackage() writes it: lines of an allowed installation directory and the
// unwind directory of a plainly named package directly in the download directory.
bool InstallJournal::parse(const QByteArray &text, const QString &downloadDir,
                           const QStringList &installDirs, QList<QPair<QString, QString>> *packages)
{
    if (text.isEmpty() || !text.endsWith('\n'))
        return false;
    QList<QByteArray> lines = text.split('\n');
    lines.removeLast();
    for (const QByteArray &line : std::as_const(lines)) {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() != 2)
            return false;
        const QString installDir = QFile::decodeName(fields.at(0));
        const QString unwindDir = QFile::decodeName(fields.at(1));
        if (!installDirs.contains(installDir)
            || !DownloadDirectory::isUnwindDirectory(downloadDir, unwindDir))
            return false;
        packages->append({installDir, unwindDir});
    }
    return true;
}

InstallJournal::InstallJournal(const DownloadDirectory &downloads)
    : downloads(downloads)
{ }

bool InstallJournal::recordPackage(const QString &installDir, const QString &unwindDir)
{
    recorded = true;
    QFile file;
    if (!openJournal(downloads, O_WRONLY | O_APPEND | O_CREAT).handTo(file, QIODevice::WriteOnly))
        return false;
    const QByteArray line
        = QFile::encodeName(installDir) + '\t' + QFile::encodeName(unwindDir) + '\n';
    if (file.write(line) != line.size() || !file.flush() || ::fsync(file.handle()) != 0)
        return false;
    file.close();
    // The journal's own name must be on the disk too, once.
    if (!directorySynced)
        directorySynced = ::fsync(downloads.descriptor()) == 0;
    return directorySynced;
}

bool InstallJournal::finish()
{
    if (!recorded)
        return true;
    // Everything the run wrote or restored is on the disk already: each change was flushed as
    // it was made.
    return removeJournal(downloads);
}

InstallJournal::Recovery InstallJournal::recover(const DownloadDirectory &downloads,
                                                 const QStringList &installDirs)
{
    QFile file;
    if (!openJournal(downloads, O_RDONLY).handTo(file, QIODevice::ReadOnly))
        return NothingToRecover;
    QList<QPair<QString, QString>> packages;
    if (!parse(file.readAll(), downloads.location(), installDirs, &packages)) {
        // Not written by the updater: nothing in it is restored, nor kept to be taken for a
        // backup later. What cannot be removed is refused before the next download, which
        // empties the directory first.
        file.close();
        removeJournal(downloads);
        downloads.removeFiles();
        return Discarded;
    }
    file.close();

    // Packages of one run mostly share their installation directory: each is searched once.
    QStringList touched;
    for (const auto &package : std::as_const(packages)) {
        if (!touched.contains(package.first))
            touched.append(package.first);
    }
    // First, since the copies a killed run left take the space a full disk needs for the
    // backups.
    for (const QString &installDir : std::as_const(touched))
        removeUnfinishedCopies(installDir);
    bool failed = false;
    // Newest package first: the oldest backup of a file holds it as it stood before the run.
    for (auto package = packages.crbegin(); package != packages.crend(); ++package) {
        InstallationDirectory installation;
        installation.open(package->first);
        const QDir unwindDir(package->second);
        QDirIterator it(unwindDir.path(), QDir::Files | QDir::Hidden | QDir::System,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            it.next();
            const QFileInfo backup = it.fileInfo();
            if (isUnfinishedCopy(backup.fileName()) || backup.isSymLink())
                continue;
            if (!installation.restore(unwindDir.relativeFilePath(backup.filePath()),
                                      backup.filePath()))
                failed = true;
        }
    }
    if (failed)
        return RestoreFailed;
    removeJournal(downloads);
    // Backups of the interrupted run must not pass for backups of the next one; those that
    // cannot be removed go before the next download, which empties the directory first.
    downloads.removeFiles();
    return Recovered;
}
