#include "archiveextractor.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <unzip.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Entry names are read into a buffer of this size; longer names are refused.
const int nameBufferSize = 256;
// Inflated bytes are gathered into blocks of this size before they are written.
const int writeBlockSize = 256 * 1024;

QString cleanAbsolute(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

QList<QByteArray> segmentsOf(const QString &relativePath)
{
    QList<QByteArray> segments;
    for (const QByteArray &segment : QFile::encodeName(relativePath).split('/')) {
        if (!segment.isEmpty() && segment != ".")
            segments.append(segment);
    }
    return segments;
}

// Closes fd without losing the errno of the failure that made the caller give up.
int closeKeepingError(int fd)
{
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
}

// O_DIRECTORY reports a link as ENOTDIR, which would hide why the path was refused.
int openDirectoryAt(int directory, const char *name)
{
    const int opened = ::openat(directory, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat status;
    if (opened < 0 && errno == ENOTDIR
        && ::fstatat(directory, name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode))
        errno = ELOOP;
    return opened;
}

// A file named `name` in the directory `parent`, as createFileBeneath() describes.
int createFileIn(int parent, const QByteArray &name, int accessMode)
{
    // A file this call creates is new, plain, empty and nobody else's: nothing to check.
    int file = ::openat(parent, name.constData(),
                        accessMode | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (file >= 0 || errno != EEXIST)
        return file;
    struct stat status;
    if (::fstatat(parent, name.constData(), &status, AT_SYMLINK_NOFOLLOW) == 0
        && !S_ISREG(status.st_mode)) {
        errno = S_ISLNK(status.st_mode) ? ELOOP : S_ISDIR(status.st_mode) ? EISDIR : EPERM;
        return -1;
    }
    // Not truncated on opening: a hard link would empty another file. Non-blocking, so that a
    // FIFO swapped in meanwhile cannot hang the caller.
    file = ::openat(parent, name.constData(),
                    accessMode | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (file < 0)
        return -1;
    if (::fstat(file, &status) != 0)
        return closeKeepingError(file);
    if (!S_ISREG(status.st_mode) || status.st_nlink != 1) {
        errno = EPERM;
        return closeKeepingError(file);
    }
    const int flags = ::fcntl(file, F_GETFL);
    if (flags < 0 || ::fcntl(file, F_SETFL, flags & ~O_NONBLOCK) != 0 || ::ftruncate(file, 0) != 0)
        return closeKeepingError(file);
    return file;
}

// Walks down the first `count` segments, making missing directories when `create` is set.
int descend(int directory, const QList<QByteArray> &segments, qsizetype count, bool create)
{
    int current = ::fcntl(directory, F_DUPFD_CLOEXEC, 0);
    for (qsizetype i = 0; current >= 0 && i < count; ++i) {
        const QByteArray &segment = segments.at(i);
        if (segment == "..") {
            errno = EACCES;
            return closeKeepingError(current);
        }
        int next = openDirectoryAt(current, segment.constData());
        if (next < 0 && errno == ENOENT && create) {
            if (::mkdirat(current, segment.constData(), 0777) != 0 && errno != EEXIST)
                return closeKeepingError(current);
            next = openDirectoryAt(current, segment.constData());
        }
        closeKeepingError(current);
        current = next;
    }
    return current;
}

} // namespace

int openDirectoryNoFollow(const QString &path)
{
    // Without a trailing separator, which would make open() follow a link in the last place.
    return openDirectoryAt(AT_FDCWD, QFile::encodeName(QDir::cleanPath(path)).constData());
}

int openDirectoryBeneath(int directory, const QString &relativePath, bool create)
{
    const QList<QByteArray> segments = segmentsOf(relativePath);
    return descend(directory, segments, segments.size(), create);
}

int createFileBeneath(int directory, const QString &relativePath, int accessMode)
{
    const QList<QByteArray> segments = segmentsOf(relativePath);
    if (segments.isEmpty() || segments.constLast() == "..") {
        errno = segments.isEmpty() ? EISDIR : EACCES;
        return -1;
    }
    const int parent = descend(directory, segments, segments.size() - 1, true);
    if (parent < 0)
        return -1;
    const int file = createFileIn(parent, segments.constLast(), accessMode);
    closeKeepingError(parent);
    return file;
}

ArchiveExtractor::ArchiveExtractor(const QString &archivePath, const QString &targetDir)
    : archivePath(archivePath)
    , targetDir(targetDir)
{ }

void ArchiveExtractor::protect(const QString &path)
{
    protectedPaths.append(cleanAbsolute(path));
}

ArchiveExtractor::Status ArchiveExtractor::extract()
{
    // The archive was written by this user; a link put in its place is not read through.
    if (QFileInfo(archivePath).isSymLink())
        return OpenFailed;
    unzFile zip = unzOpen(QFile::encodeName(archivePath).constData());
    if (!zip)
        return isEmptyArchive() ? Success : OpenFailed;

    target = openDirectoryNoFollow(targetDir);
    targetError = errno;

    Status status = Success;
    unz_global_info global;
    if (unzGetGlobalInfo(zip, &global) != UNZ_OK) {
        status = ReadFailed;
    } else if (global.number_entry > 0) {
        for (;;) {
            status = extractEntry(zip);
            if (status != Success)
                break;
            const int next = unzGoToNextFile(zip);
            if (next == UNZ_END_OF_LIST_OF_FILE)
                break;
            // A damaged central directory must not pass for the end of the archive: the
            // entries behind it would be missing without a word.
            if (next != UNZ_OK) {
                status = ReadFailed;
                break;
            }
        }
    }
    unzClose(zip);
    if (parent >= 0)
        ::close(parent);
    parent = -1;
    if (target >= 0)
        ::close(target);
    target = -1;
    return status;
}

// Entries of one directory mostly follow each other: its descriptor is kept for the next one
// instead of walking down from the target directory for every file.
int ArchiveExtractor::createEntryFile(const QString &name)
{
    QList<QByteArray> segments = segmentsOf(name);
    if (segments.isEmpty()) {
        errno = EISDIR;
        return -1;
    }
    const QByteArray file = segments.takeLast();
    const QByteArray directory = segments.join('/');
    if (parent < 0 || directory != parentPath) {
        if (parent >= 0)
            ::close(parent);
        parentPath = directory;
        parent = descend(target, segments, segments.size(), true);
        if (parent < 0)
            return -1;
    }
    return createFileIn(parent, file, O_WRONLY);
}

ArchiveExtractor::Status ArchiveExtractor::extractEntry(void *zip)
{
    unz_file_info info;
    char nameBuffer[nameBufferSize];
    if (unzGetCurrentFileInfo(zip, &info, nameBuffer, sizeof nameBuffer, nullptr, 0, nullptr, 0)
        != UNZ_OK) {
        failedEntry.clear();
        return ReadFailed;
    }
    const QByteArray rawName(nameBuffer, int(qMin<uLong>(info.size_filename, sizeof nameBuffer)));
    const QString name = QString::fromLatin1(rawName);
    if (info.size_filename >= uLong(nameBufferSize) || !isSafeName(rawName)) {
        failedEntry = name;
        return ExtractFailed;
    }

    if (name.endsWith(QLatin1Char('/'))) {
        // As before, a directory that cannot be made only fails the files that go into it.
        const int directory = target < 0 ? -1 : openDirectoryBeneath(target, name, true);
        if (directory >= 0)
            ::close(directory);
        return Success;
    }
    return extractFile(zip, name, info.uncompressed_size);
}

ArchiveExtractor::Status ArchiveExtractor::extractFile(void *zip, const QString &name,
                                                       unsigned long declaredSize)
{
    const QString path = targetDir + name;
    failedEntry = name;
    // The downloaded archive may lie in the target directory, and the caller's backups may
    // too: an entry of the same name would replace them.
    if (isProtected(path))
        return ExtractFailed;

    const int descriptor = target < 0 ? -1 : createEntryFile(name);
    if (descriptor < 0) {
        errorString = qt_error_string(target < 0 ? targetError : errno);
        return CreateFailed;
    }
    QFile file;
    if (!file.open(descriptor, QIODevice::WriteOnly | QIODevice::Unbuffered,
                   QFileDevice::AutoCloseHandle)) {
        ::close(descriptor);
        QFile::remove(path);
        errorString = file.errorString();
        return CreateFailed;
    }
    if (unzOpenCurrentFile(zip) != UNZ_OK) {
        file.close();
        QFile::remove(path);
        return ExtractFailed;
    }

    // Left uninitialised: it is filled before it is written.
    if (block.isEmpty())
        block.resize(writeBlockSize);
    int filled = 0;
    quint64 total = 0;
    bool ok = true;
    for (;;) {
        const int got
            = unzReadCurrentFile(zip, block.data() + filled, unsigned(block.size()) - filled);
        if (got < 0) {
            ok = false;
            break;
        }
        filled += got;
        total += quint64(got);
        if (got == 0 || filled == int(block.size())) {
            if (file.write(block.constData(), filled) != filled) {
                ok = false;
                break;
            }
            filled = 0;
        }
        if (got == 0)
            break;
    }
    // The checksum is only verified when the entry is closed after its last byte; an entry
    // that ends early or late is never verified, hence the size comparison.
    const int closed = unzCloseCurrentFile(zip);
    file.close();
    if (!ok || closed != UNZ_OK || total != quint64(declaredSize)
        || file.error() != QFileDevice::NoError) {
        QFile::remove(path);
        return ReadFailed;
    }

    unpackedFiles.append(name);
    failedEntry.clear();
    return Success;
}

// minizip looks for the end record anywhere but at offset 0, so it cannot open an archive
// without entries, which is nothing but that record (and its comment).
bool ArchiveExtractor::isEmptyArchive() const
{
    QFile file(archivePath);
    if (!file.open(QIODevice::ReadOnly) || file.size() < 22 || file.size() > 22 + 0xffff)
        return false;
    const QByteArray record = file.readAll();
    const auto field
        = [&record](int at) { return qFromLittleEndian<quint16>(record.constData() + at); };
    return record.startsWith("PK\x05\x06") && field(8) == 0 && field(10) == 0
        && field(20) == record.size() - 22;
}

bool ArchiveExtractor::isSafeName(const QByteArray &name) const
{
    if (name.startsWith('/') || name.contains('\0'))
        return false;
    const QList<QByteArray> segments = name.split('/');
    for (const QByteArray &segment : segments) {
        if (segment == "..")
            return false;
    }
    return true;
}

bool ArchiveExtractor::isProtected(const QString &path) const
{
    const QString candidate = cleanAbsolute(path);
    for (const QString &guarded : protectedPaths) {
        if (candidate == guarded || candidate.startsWith(guarded + QLatin1Char('/')))
            return true;
    }
    return false;
}
