#include "archiveextractor.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <unzip.h>

#include <vector>

namespace {

// Entry names are read into a buffer of this size; longer names are refused.
const int nameBufferSize = 256;
// Inflated bytes are gathered into blocks of this size before they are written.
const int writeBlockSize = 256 * 1024;

QString cleanAbsolute(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

} // namespace

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
    unzFile zip = unzOpen(QFile::encodeName(archivePath).constData());
    if (!zip)
        return isEmptyArchive() ? Success : OpenFailed;

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
    return status;
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
        const QString path = targetDir + name;
        if (!QDir(path).exists())
            QDir().mkpath(path);
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

    if (name.contains(QLatin1Char('/')))
        QDir().mkpath(QFileInfo(path).absolutePath());

    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        errorString = file.errorString();
        return CreateFailed;
    }
    if (unzOpenCurrentFile(zip) != UNZ_OK) {
        file.remove();
        return ExtractFailed;
    }

    std::vector<char> buffer(writeBlockSize);
    int filled = 0;
    quint64 total = 0;
    bool ok = true;
    for (;;) {
        const int got
            = unzReadCurrentFile(zip, buffer.data() + filled, unsigned(buffer.size()) - filled);
        if (got < 0) {
            ok = false;
            break;
        }
        filled += got;
        total += quint64(got);
        if (got == 0 || filled == int(buffer.size())) {
            if (file.write(buffer.data(), filled) != filled) {
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
        file.remove();
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
