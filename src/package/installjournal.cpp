#include "installjournal.h"

#include "removedir.h"
#include "replacefile.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QPair>
#include <QStringList>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char journalName[] = "journal";

bool syncPath(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
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

// Flushes the file systems holding these directories, each once, and no other: a system-wide
// sync would also wait for whatever else the machine is writing.
void syncFileSystems(const QStringList &directories)
{
    QList<dev_t> done;
    for (const QString &directory : directories) {
        const int fd
            = ::open(QFile::encodeName(directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat status;
        if (::fstat(fd, &status) == 0 && !done.contains(status.st_dev)) {
            done.append(status.st_dev);
            ::syncfs(fd);
        }
        ::close(fd);
    }
}

} // namespace

InstallJournal::InstallJournal(const QString &downloadDir)
    : path(pathIn(downloadDir))
{ }

QString InstallJournal::pathIn(const QString &downloadDir)
{
    return downloadDir + QLatin1Char('/') + QLatin1String(journalName);
}

bool InstallJournal::recordPackage(const QString &installDir, const QString &unwindDir)
{
    const bool created = !QFileInfo::exists(path);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    if (!installDirs.contains(installDir))
        installDirs.append(installDir);
    const QByteArray line
        = QFile::encodeName(installDir) + '\t' + QFile::encodeName(unwindDir) + '\n';
    if (file.write(line) != line.size() || !file.flush() || ::fsync(file.handle()) != 0)
        return false;
    file.close();
    return !created || syncPath(QFileInfo(path).absolutePath());
}

bool InstallJournal::finish()
{
    if (!QFileInfo::exists(path))
        return true;
    // Everything the run wrote or restored reaches the disk before the journal goes.
    syncFileSystems(installDirs + QStringList {QFileInfo(path).absolutePath()});
    return QFile::remove(path) && syncPath(QFileInfo(path).absolutePath());
}

bool InstallJournal::recover(const QString &downloadDir, bool *failed)
{
    *failed = false;
    QFile file(pathIn(downloadDir));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QList<QPair<QString, QString>> packages;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() == 2)
            packages.append({QFile::decodeName(fields.at(0)), QFile::decodeName(fields.at(1))});
    }
    file.close();

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
                *failed = true;
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
    if (*failed)
        return true;
    syncFileSystems(installDirs + QStringList {downloadDir});
    QFile::remove(file.fileName());
    syncPath(downloadDir);
    // Backups of the interrupted run must not pass for backups of the next one.
    removeDir(downloadDir);
    return true;
}
