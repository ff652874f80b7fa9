#ifndef ARCHIVEEXTRACTOR_H
#define ARCHIVEEXTRACTOR_H

#include <QByteArray>
#include <QString>
#include <QStringList>

// Unpacks every entry of a zip archive, in archive order, below one directory. Shows nothing:
// the caller turns the status into its message. An entry never lands outside the directory
// or on a protected path, never through a symbolic link, and a file whose bytes cannot be
// read, written or verified completely fails the archive and is deleted.
class ArchiveExtractor
{
public:
    enum Status {
        Success,
        OpenFailed, // the archive cannot be opened
        CreateFailed, // an unpacked file cannot be opened for writing; see errorString()
        ExtractFailed, // an entry cannot be opened, or its name is refused
        ReadFailed // reading, writing or verifying an entry failed
    };

    // targetDir is joined to entry names as text, so it ends with "/".
    ArchiveExtractor(const QString &archivePath, const QString &targetDir);

    // No file entry may be unpacked onto path or below it.
    void protect(const QString &path);

    Status extract();

    // Names of the file entries unpacked completely, in archive order (also after a failure).
    const QStringList &getUnpackedFiles() const { return unpackedFiles; }
    // Name of the entry that failed, as far as it could be read.
    const QString &getFailedEntry() const { return failedEntry; }
    const QString &getErrorString() const { return errorString; }

private:
    Status extractEntry(void *zip);
    Status extractFile(void *zip, const QString &name, unsigned long declaredSize);
    int createEntryFile(const QString &name);
    bool isEmptyArchive() const;
    bool isSafeName(const QByteArray &name) const;
    bool isProtected(const QString &path) const;

    QString archivePath;
    QString targetDir;
    // The target directory, opened once: every entry is made below it without following links.
    int target = -1;
    int targetError = 0;
    // The directory of the last file unpacked, relative to the target, and its descriptor.
    int parent = -1;
    QByteArray parentPath;
    // Where inflated bytes are gathered before they are written; one for all entries.
    QByteArray block;
    QStringList protectedPaths;
    QStringList unpackedFiles;
    QString failedEntry;
    QString errorString;
};

// Opening below a directory without following symbolic links. The download directory lies in
// the shared temporary directory, and a link planted in it must never redirect a write. Each
// returns a descriptor (the caller closes it), or -1 with errno set: ELOOP where a link stands
// in the way, EPERM where the file is no plain file of its own (a device, a second hard link).
// Relative paths are split at "/"; empty and "." segments are skipped, ".." is refused.

// The directory itself; a link in its place is refused, the directories above it are trusted.
int openDirectoryNoFollow(const QString &path);
// A directory below `directory`, created with its missing parents when `create` is set.
int openDirectoryBeneath(int directory, const QString &relativePath, bool create);
// A file below `directory`, created with its missing parent directories, opened with
// accessMode (O_WRONLY or O_RDWR) and emptied.
int createFileBeneath(int directory, const QString &relativePath, int accessMode);

#endif // ARCHIVEEXTRACTOR_H
