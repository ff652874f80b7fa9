#ifndef ARCHIVEEXTRACTOR_H
#define ARCHIVEEXTRACTOR_H

#include "filedescriptor.h"

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
    FileDescriptor createEntryFile(const QString &name);
    bool isEmptyArchive() const;
    bool isSafeName(const QByteArray &name) const;
    bool isProtected(const QString &path) const;

    QString archivePath;
    QString targetDir;
    // The target directory, opened once: every entry is made below it without following links.
    FileDescriptor target;
    int targetError = 0;
    // The directory of the last file unpacked, relative to the target, and its descriptor.
    FileDescriptor parent;
    QByteArray parentPath;
    // Where inflated bytes are gathered before they are written; one for all entries.
    QByteArray block;
    QStringList protectedPaths;
    QStringList unpackedFiles;
    QString failedEntry;
    QString errorString;
};

#endif // ARCHIVEEXTRACTOR_H
