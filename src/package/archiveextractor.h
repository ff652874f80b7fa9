#ifndef ARCHIVEEXTRACTOR_H
#define ARCHIVEEXTRACTOR_H

#include "failure.h"
#include "filedescriptor.h"
#include "parentdirectorycache.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <atomic>

// Unpacks every entry of a zip archive, in archive order, below one directory. Shows nothing:
// a failure comes back with the text the user reads. An entry never lands outside the directory
// or on a protected path, never through a symbolic link, and a file whose bytes cannot be
// read, written or verified completely fails the archive and is deleted.
//
// Before the first byte is written the archive's directory is surveyed: an archive that
// declares more entries or bytes than the limits allow, or more than the file system has room
// for, or whose entries share bytes (the trick that lets a small archive unpack to a huge one),
// is refused whole. No entry unpacks to more than it declares.
class ArchiveExtractor
{
public:
    struct Limits
    {
        quint64 entries = 100000;
        // The sum of the entries' declared sizes.
        quint64 bytes = Q_UINT64_C(16) << 30;
        // Declared bytes per byte of the archive, beyond a free allowance: real packages unpack
        // to a few times their size, a crafted one to a thousand times.
        quint64 ratio = 100;
        quint64 allowance = 16 << 20;
    };

    // Both lie below directory, reached beneath it without following a link: the archive at
    // archivePath, and targetDir (made when missing), which is joined to entry names as text,
    // so it ends with "/".
    ArchiveExtractor(int directory, const QString &archivePath, const QString &targetDir);

    // The package the archive holds and the download directory it takes room in, as the texts
    // of the failures name them.
    void describe(const QString &packageName, const QString &downloadDir);

    // No file entry may be unpacked onto path (below the directory) or below it.
    void protect(const QString &path);

    void setLimits(const Limits &newLimits) { limits = newLimits; }
    // Checked before every block written; set from another thread, it ends extract().
    void setCancelFlag(const std::atomic_bool *flag) { cancel = flag; }

    // Kinds: Package for an archive that cannot be read or is refused, Storage for a file that
    // cannot be made (with the system's error) or a disk without room, Cancelled.
    Failure extract();

    // Names of the file entries unpacked completely, in archive order (also after a failure).
    const QStringList &getUnpackedFiles() const { return unpackedFiles; }
    // The size of the archive that extract() read.
    qint64 getArchiveSize() const { return archiveSize; }
    // The sum of the sizes the entries declare, as far as the survey got.
    quint64 getDeclaredSize() const { return declaredSize; }

private:
    Failure survey(void *zip, quint64 archiveSize);
    Failure extractEntry(void *zip);
    Failure extractFile(void *zip, const QString &name, unsigned long declaredSize);
    static Failure unreadable(Failure::Kind kind = Failure::Package);
    static Failure refusedEntry(const QString &name);
    FileDescriptor createEntryFile(const QString &name);
    void removeEntryFile(const QString &name);
    static bool isEmptyArchive(int archive, qint64 size);
    bool isSafeName(const QByteArray &name) const;
    bool isProtected(const QString &path) const;

    int directory;
    QString archivePath;
    QString targetDir;
    // The target directory, opened once: every entry is made below it without following links.
    FileDescriptor target;
    int targetError = 0;
    // The directory of the last file unpacked.
    ParentDirectoryCache parents;
    // Where inflated bytes are gathered before they are written; one for all entries.
    QByteArray block;
    Limits limits;
    const std::atomic_bool *cancel = nullptr;
    qint64 archiveSize = 0;
    quint64 declaredSize = 0;
    QString packageName;
    QString downloadDir;
    QStringList protectedPaths;
    QStringList unpackedFiles;
};

#endif // ARCHIVEEXTRACTOR_H
