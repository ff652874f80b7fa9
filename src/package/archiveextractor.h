#ifndef ARCHIVEEXTRACTOR_H
#define ARCHIVEEXTRACTOR_H

#include "filedescriptor.h"
#include "parentdirectorycache.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <atomic>

// Unpacks every entry of a zip archive, in archive order, below one directory. Shows nothing:
// the caller turns the status into its message. An entry never lands outside the directory
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
    enum Status {
        Success,
        OpenFailed, // the archive cannot be opened
        CreateFailed, // an unpacked file cannot be opened for writing; see errorString()
        ExtractFailed, // an entry cannot be opened, or its name is refused
        ReadFailed, // reading, writing or verifying an entry failed
        TooManyEntries, // more entries than the limit
        TooLarge, // the declared sizes exceed the byte limit or the ratio; see getDeclaredSize()
        OverlappingEntries, // two entries share bytes of the archive
        NoRoom, // the file system lacks room; see getNeededSize() and getAvailableSize()
        Cancelled // the cancel flag was set
    };

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

    // targetDir is joined to entry names as text, so it ends with "/".
    ArchiveExtractor(const QString &archivePath, const QString &targetDir);

    // No file entry may be unpacked onto path or below it.
    void protect(const QString &path);

    void setLimits(const Limits &newLimits) { limits = newLimits; }
    // Checked before every block written; set from another thread, it ends extract().
    void setCancelFlag(const std::atomic_bool *flag) { cancel = flag; }

    Status extract();

    // Names of the file entries unpacked completely, in archive order (also after a failure).
    const QStringList &getUnpackedFiles() const { return unpackedFiles; }
    // Name of the entry that failed, as far as it could be read.
    const QString &getFailedEntry() const { return failedEntry; }
    const QString &getErrorString() const { return errorString; }
    // The sum of the sizes the entries declare, as far as the survey got.
    quint64 getDeclaredSize() const { return declaredSize; }
    // When the file system lacks room: what unpacking needs, and the room there is.
    quint64 getNeededSize() const { return neededSize; }
    qint64 getAvailableSize() const { return availableSize; }

private:
    Status survey(void *zip, quint64 archiveSize);
    Status extractEntry(void *zip);
    Status extractFile(void *zip, const QString &name, unsigned long declaredSize);
    FileDescriptor createEntryFile(const QString &name);
    bool isEmptyArchive() const;
    bool isSafeName(const QByteArray &name) const;
    bool isProtected(const QString &path) const;

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
    quint64 declaredSize = 0;
    quint64 neededSize = 0;
    qint64 availableSize = -1;
    QStringList protectedPaths;
    QStringList unpackedFiles;
    QString failedEntry;
    QString errorString;
};

#endif // ARCHIVEEXTRACTOR_H
