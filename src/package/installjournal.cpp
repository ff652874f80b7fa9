#include "installjournal.h"

#include "pathbeneath.h"
#include "removedir.h"
#include "replacefile.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QPair>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char journalName[] = "journal";

FileDescriptor openJournal(const QString &downloadDir, int flags)
{
    const FileDescriptor directory = PathBeneath::openDirectory(downloadDir);
    return directory.isValid()
        ? PathBeneath::openFile(directory.get(), QLatin1String(journalName), flags)
        : FileDescriptor();
}

bool syncDirectory(const QString &path)
{
    const FileDescriptor directory = PathBeneath::openDirectory(path);
    return directory.isValid() && ::fsync(directory.get()) == 0;
}

// Flushes the file systems holding these directories, each once, and no other: a system-wide
// sync would also wait for whatever else the machine is writing.
void syncFileSystems(const QStringList &directories)
{
    QList<dev_t> done;
    for (const QString &path : directories) {
        const FileDescriptor directory = PathBeneath::openDirectory(path);
        struct stat status;
        if (directory.isValid() && ::fstat(directory.get(), &status) == 0
            && !done.contains(status.st_dev)) {
            done.append(status.st_dev);
            ::syncfs(directory.get());
        }
    }
}

// Leftovers of a copy that was cut short: Qt's own temporary copies in the unwind directory,
// and our replacement copies beside installed files. Neither is a backup or an installed file.
bool isUnfinishedCopy(const QString &name)
{
    return name.startsWith(QLatin1String("qt_temp.")) || name.startsWith(replacementCopyPrefix());
}

void removeUnfinishedCopies(const QString &installDir)
{
    QDirIterator it(installDir, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        if (it.fileName().startsWith(replacementCopyPrefix()))
            QFile::remove(it.filePath());
    }
}

bool removeJournal(const QString &downloadDir)
{
    const FileDescriptor directory = PathBeneath::openDirectory(downloadDir);
    return directory.isValid()
        && (::unlinkat(directory.get(), journalName, 0) == 0 || errno == ENOENT)
        && ::fsync(directory.get()) == 0;
}

} // namespace

InstallJournal::InstallJournal(const QString &downloadDir)
    : downloadDir(downloadDir)
{ }

bool InstallJournal::recordPackage(const QString &installDir, const QString &unwindDir)
{
    if (!installDirs.contains(installDir))
        installDirs.append(installDir);
    QFile file;
    if (!openJournal(downloadDir, O_WRONLY | O_APPEND | O_CREAT).handTo(file, QIODevice::WriteOnly))
        return false;
    const QByteArray line
        = QFile::encodeName(installDir) + '\t' + QFile::encodeName(unwindDir) + '\n';
    if (file.write(line) != line.size() || !file.flush() || ::fsync(file.handle()) != 0)
        return false;
    file.close();
    // The journal's own name must be on the disk too, once.
    if (!directorySynced)
        directorySynced = syncDirectory(downloadDir);
    return directorySynced;
}

bool InstallJournal::finish()
{
    if (installDirs.isEmpty())
        return true;
    // Everything the run wrote or restored reaches the disk before the journal goes.
    syncFileSystems(installDirs + QStringList {downloadDir});
    return removeJournal(downloadDir);
}

InstallJournal::Recovery InstallJournal::recover(const QString &downloadDir)
{
    QFile file;
    if (!openJournal(downloadDir, O_RDONLY).handTo(file, QIODevice::ReadOnly))
        return NothingToRecover;
    QList<QPair<QString, QString>> packages;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() == 2)
            packages.append({QFile::decodeName(fields.at(0)), QFile::decodeName(fields.at(1))});
    }
    file.close();

    bool failed = false;
    // Newest package first: the oldest backup of a file holds it as it stood before the run.
    for (auto package = packages.crbegin(); package != packages.crend(); ++package) {
        const QString &installDir = package->first;
        const QDir unwindDir(package->second);
        QDirIterator it(unwindDir.path(), QDir::Files | QDir::Hidden | QDir::System,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            it.next();
            const QFileInfo backup = it.fileInfo();
            if (isUnfinishedCopy(backup.fileName()) || backup.isSymLink())
                continue;
            const QString target
                = installDir + QLatin1Char('/') + unwindDir.relativeFilePath(backup.filePath());
            QDir().mkpath(QFileInfo(target).absolutePath());
            if (!replaceFile(backup.filePath(), target, backup.permissions()))
                failed = true;
        }
    }
    // Packages of one run mostly share their installation directory: each is searched once.
    QStringList installDirs;
    for (const auto &package : std::as_const(packages)) {
        if (!installDirs.contains(package.first))
            installDirs.append(package.first);
    }
    for (const QString &installDir : std::as_const(installDirs))
        removeUnfinishedCopies(installDir);
    if (failed)
        return RestoreFailed;
    syncFileSystems(installDirs + QStringList {downloadDir});
    removeJournal(downloadDir);
    // Backups of the interrupted run must not pass for backups of the next one.
    removeDir(downloadDir);
    return Recovered;
}
