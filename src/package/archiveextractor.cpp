#include "archiveextractor.h"

#include "freespace.h"
#include "pathbeneath.h"
#include "translated.h"

#include <QDir>
#include <QFile>
#include <QtEndian>

#include <unzip.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Entry names are read into a buffer of this size; longer names are refused.
const int nameBufferSize = 256;
// Inflated bytes are gathered into blocks of this size before they are written.
const int writeBlockSize = 256 * 1024;
// What a local file header takes before its name, and what a file takes beyond its bytes.
const quint64 localHeaderSize = 30;
const quint64 spacePerEntry = 4096;

// The bytes of the archive that one entry spans, from its local header to its last data byte.
struct Span
{
    quint64 start;
    quint64 end;
    bool operator<(const Span &other) const { return start < other.start; }
};

// minizip's own file functions, but for opening: the archive opened once is read through a
// duplicate of its descriptor, which minizip closes, whatever now stands at its path.
voidpf openDuplicate(voidpf opaque, const void *, int)
{
    const int copy = ::fcntl(*static_cast<const int *>(opaque), F_DUPFD_CLOEXEC, 0);
    FILE *file = copy >= 0 ? ::fdopen(copy, "rb") : nullptr;
    if (!file && copy >= 0)
        ::close(copy);
    return file;
}

// A path below the directory, cleaned as if the directory were the root: what climbs above it
// stays at the top, as the openers refuse it.
QString beneathRoot(const QString &path)
{
    return QDir::cleanPath(QLatin1Char('/') + path);
}

} // namespace

ArchiveExtractor::ArchiveExtractor(int directory, const QString &archivePath,
                                   const QString &targetDir)
    : directory(directory)
    , archivePath(archivePath)
    , targetDir(targetDir)
{ }

void ArchiveExtractor::describe(const QString &packageName, const QString &downloadDir)
{
    this->packageName = packageName;
    this->downloadDir = downloadDir;
}

Failure ArchiveExtractor::unreadable(Failure::Kind kind)
{
    return Failure(kind, translated("Cannot read file from archive!"));
}

Failure ArchiveExtractor::refusedEntry(const QString &name)
{
    return Failure(Failure::Package, translated("Cannot extract update file (%1)!").arg(name));
}

void ArchiveExtractor::protect(const QString &path)
{
    protectedPaths.append(beneathRoot(path));
}

Failure ArchiveExtractor::extract()
{
    const Failure cannotOpen(Failure::Package, translated("Unable to open update archive"));
    // The archive was written by this user; a link put in its place is not read through.
    const FileDescriptor archive = PathBeneath::openFile(directory, archivePath, O_RDONLY);
    struct stat status;
    if (!archive.isValid() || ::fstat(archive.get(), &status) != 0)
        return cannotOpen;
    archiveSize = status.st_size;
    int descriptor = archive.get();
    zlib_filefunc64_def functions;
    fill_fopen64_filefunc(&functions);
    functions.zopen64_file = &openDuplicate;
    functions.opaque = &descriptor;
    unzFile zip = unzOpen2_64("", &functions);
    if (!zip)
        return isEmptyArchive(archive.get(), status.st_size) ? Failure() : cannotOpen;

    target = PathBeneath::openDirectory(directory, targetDir, true);
    targetError = errno;

    unz_global_info global;
    Failure failure = unzGetGlobalInfo(zip, &global) == UNZ_OK
        ? survey(zip, quint64(status.st_size))
        : unreadable();
    if (!failure && global.number_entry > 0) {
        for (;;) {
            failure = extractEntry(zip);
            if (failure)
                break;
            const int next = unzGoToNextFile(zip);
            if (next == UNZ_END_OF_LIST_OF_FILE)
                break;
            // A damaged central directory must not pass for the end of the archive: the
            // entries behind it would be missing without a word.
            if (next != UNZ_OK) {
                failure = unreadable();
                break;
            }
        }
    }
    unzClose(zip);
    parents.reset();
    target.reset();
    return failure;
}

Failure ArchiveExtractor::survey(void *zip, quint64 archiveSize)
{
    const auto tooLarge = [this] {
        return Failure(Failure::Package,
                       translated("Package %1 would unpack to %2 MB, more than a package may, so "
                                  "it is not unpacked.")
                           .arg(packageName, megabytesNeeded(qint64(declaredSize))));
    };
    QList<Span> spans;
    quint64 entries = 0;
    int next = unzGoToFirstFile(zip);
    for (; next == UNZ_OK; next = unzGoToNextFile(zip)) {
        if (++entries > limits.entries)
            return Failure(Failure::Package,
                           translated("Package %1 holds more than %2 files, so it is not "
                                      "unpacked.")
                               .arg(packageName, QString::number(Limits().entries)));
        unz_file_info64 info;
        if (unzGetCurrentFileInfo64(zip, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK)
            return unreadable();
        declaredSize += info.uncompressed_size;
        if (info.uncompressed_size > limits.bytes || declaredSize > limits.bytes)
            return tooLarge();
        // Opened raw, which reads the local header and inflates nothing. An entry that cannot
        // be opened fails under its name when it is unpacked.
        if (unzOpenCurrentFile2(zip, nullptr, nullptr, 1) != UNZ_OK)
            continue;
        const quint64 data = unzGetCurrentFileZStreamPos64(zip);
        unzCloseCurrentFile(zip);
        const quint64 header = localHeaderSize + info.size_filename;
        spans.append({data > header ? data - header : 0, data + info.compressed_size});
    }
    if (next != UNZ_END_OF_LIST_OF_FILE)
        return unreadable();

    std::sort(spans.begin(), spans.end());
    for (qsizetype i = 1; i < spans.size(); ++i) {
        if (spans.at(i - 1).end > spans.at(i).start)
            return Failure(Failure::Package,
                           translated("Package %1 is damaged: its files overlap in the archive, "
                                      "so it is not unpacked.")
                               .arg(packageName));
    }
    if (declaredSize > limits.allowance + limits.ratio * archiveSize)
        return tooLarge();
    const qint64 available = target.isValid() ? availableBytes(target.get()) : -1;
    const quint64 needed = declaredSize + spacePerEntry * entries;
    if (available >= 0 && needed > quint64(available))
        return Failure(Failure::Storage,
                       translated("Package %1 needs %2 MB to unpack, but the download directory "
                                  "%3 has room for %4 MB, so it is not unpacked.")
                           .arg(packageName, megabytesNeeded(qint64(needed)), downloadDir,
                                megabytesOfRoom(available)));
    return entries == 0 || unzGoToFirstFile(zip) == UNZ_OK ? Failure() : unreadable();
}

FileDescriptor ArchiveExtractor::createEntryFile(const QString &name)
{
    QByteArray file;
    const int parent = parents.parentOf(target.get(), name, &file, true);
    return parent >= 0 ? PathBeneath::createFileIn(parent, file, O_WRONLY) : FileDescriptor();
}

// The entry's file was made in the directory the cache still holds.
void ArchiveExtractor::removeEntryFile(const QString &name)
{
    QByteArray file;
    const int parent = parents.parentOf(target.get(), name, &file, false);
    if (parent >= 0)
        ::unlinkat(parent, file.constData(), 0);
}

Failure ArchiveExtractor::extractEntry(void *zip)
{
    unz_file_info info;
    char nameBuffer[nameBufferSize];
    if (unzGetCurrentFileInfo(zip, &info, nameBuffer, sizeof nameBuffer, nullptr, 0, nullptr, 0)
        != UNZ_OK)
        return unreadable();
    const QByteArray rawName(nameBuffer, int(qMin<uLong>(info.size_filename, sizeof nameBuffer)));
    const QString name = QString::fromLatin1(rawName);
    if (info.size_filename >= uLong(nameBufferSize) || !isSafeName(rawName))
        return refusedEntry(name);

    if (name.endsWith(QLatin1Char('/'))) {
        // A directory that cannot be made fails only the files that go into it.
        if (target.isValid())
            PathBeneath::openDirectory(target.get(), name, true);
        return Failure();
    }
    return extractFile(zip, name, info.uncompressed_size);
}

Failure ArchiveExtractor::extractFile(void *zip, const QString &name, unsigned long declaredSize)
{
    // The downloaded archive may lie in the target directory, and the caller's backups may
    // too: an entry of the same name would replace them.
    if (isProtected(targetDir + name))
        return refusedEntry(name);

    const auto cannotCreate = [&name](int code) {
        return Failure(Failure::Storage,
                       translated("Cannot create file %1 (%2)").arg(name, qt_error_string(code)),
                       code);
    };
    FileDescriptor descriptor = target.isValid() ? createEntryFile(name) : FileDescriptor();
    if (!descriptor.isValid())
        return cannotCreate(target.isValid() ? errno : targetError);
    QFile file;
    if (!descriptor.handTo(file, QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        const int code = errno;
        removeEntryFile(name);
        return cannotCreate(code);
    }
    if (unzOpenCurrentFile(zip) != UNZ_OK) {
        file.close();
        removeEntryFile(name);
        return refusedEntry(name);
    }

    // Left uninitialised: it is filled before it is written.
    if (block.isEmpty())
        block.resize(writeBlockSize);
    int filled = 0;
    quint64 total = 0;
    bool ok = true;
    bool cancelled = false;
    for (;;) {
        cancelled = cancel && cancel->load(std::memory_order_relaxed);
        const int got = cancelled
            ? -1
            : unzReadCurrentFile(zip, block.data() + filled, unsigned(block.size()) - filled);
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
        removeEntryFile(name);
        return unreadable(cancelled ? Failure::Cancelled : Failure::Package);
    }

    unpackedFiles.append(name);
    return Failure();
}

// minizip looks for the end record anywhere but at offset 0, so it cannot open an archive
// without entries, which is nothing but that record (and its comment).
bool ArchiveExtractor::isEmptyArchive(int archive, qint64 size)
{
    if (size < 22 || size > 22 + 0xffff)
        return false;
    QByteArray record(size, Qt::Uninitialized);
    if (::pread(archive, record.data(), size_t(size), 0) != size)
        return false;
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
    const QString candidate = beneathRoot(path);
    for (const QString &guarded : protectedPaths) {
        if (PathBeneath::isWithin(guarded, candidate))
            return true;
    }
    return false;
}
