#include "archiveextractor.h"

#include "freespace.h"
#include "pathbeneath.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
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

} // namespace

ArchiveExtractor::ArchiveExtractor(const QString &archivePath, const QString &targetDir)
    : archivePath(archivePath)
    , targetDir(targetDir)
{ }

void ArchiveExtractor::protect(const QString &path)
{
    protectedPaths.append(PathBeneath::cleanAbsolute(path));
}

ArchiveExtractor::Status ArchiveExtractor::extract()
{
    // The archive was written by this user; a link put in its place is not read through.
    if (QFileInfo(archivePath).isSymLink())
        return OpenFailed;
    unzFile zip = unzOpen(QFile::encodeName(archivePath).constData());
    if (!zip)
        return isEmptyArchive() ? Success : OpenFailed;

    target = PathBeneath::openDirectory(targetDir);
    targetError = errno;

    unz_global_info global;
    Status status = unzGetGlobalInfo(zip, &global) == UNZ_OK
        ? survey(zip, quint64(QFileInfo(archivePath).size()))
        : ReadFailed;
    if (status == Success && global.number_entry > 0) {
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
    parents.reset();
    target.reset();
    return status;
}

ArchiveExtractor::Status ArchiveExtractor::survey(void *zip, quint64 archiveSize)
{
    QList<Span> spans;
    quint64 entries = 0;
    int next = unzGoToFirstFile(zip);
    for (; next == UNZ_OK; next = unzGoToNextFile(zip)) {
        if (++entries > limits.entries)
            return TooManyEntries;
        unz_file_info64 info;
        if (unzGetCurrentFileInfo64(zip, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK)
            return ReadFailed;
        declaredSize += info.uncompressed_size;
        if (info.uncompressed_size > limits.bytes || declaredSize > limits.bytes)
            return TooLarge;
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
        return ReadFailed;

    std::sort(spans.begin(), spans.end());
    for (qsizetype i = 1; i < spans.size(); ++i) {
        if (spans.at(i - 1).end > spans.at(i).start)
            return OverlappingEntries;
    }
    if (declaredSize > limits.allowance + limits.ratio * archiveSize)
        return TooLarge;
    const qint64 available = target.isValid() ? availableBytes(target.get()) : -1;
    if (available >= 0 && declaredSize + spacePerEntry * entries > quint64(available)) {
        neededSize = declaredSize + spacePerEntry * entries;
        availableSize = available;
        return NoRoom;
    }
    return entries == 0 || unzGoToFirstFile(zip) == UNZ_OK ? Success : ReadFailed;
}

FileDescriptor ArchiveExtractor::createEntryFile(const QString &name)
{
    QByteArray file;
    const int parent = parents.parentOf(target.get(), name, &file, true);
    return parent >= 0 ? PathBeneath::createFileIn(parent, file, O_WRONLY) : FileDescriptor();
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
        // A directory that cannot be made fails only the files that go into it.
        if (target.isValid())
            PathBeneath::openDirectory(target.get(), name, true);
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

    FileDescriptor descriptor = target.isValid() ? createEntryFile(name) : FileDescriptor();
    if (!descriptor.isValid()) {
        errorString = qt_error_string(target.isValid() ? errno : targetError);
        return CreateFailed;
    }
    QFile file;
    if (!descriptor.handTo(file, QIODevice::WriteOnly | QIODevice::Unbuffered)) {
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
        QFile::remove(path);
        return cancelled ? Cancelled : ReadFailed;
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
    const QString candidate = PathBeneath::cleanAbsolute(path);
    for (const QString &guarded : protectedPaths) {
        if (PathBeneath::isWithin(guarded, candidate))
            return true;
    }
    return false;
}
