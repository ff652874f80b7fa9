#include "zipwriter.h"

#include <QDateTime>
#include <QFile>

#include <cerrno>

#include <sys/stat.h>

namespace {

// "Version made by": high byte 3 says the external attributes hold a unix mode.
constexpr uLong madeByUnix = (3 << 8) | 30;
constexpr qint64 chunkSize = 64 * 1024;

} // namespace

ZipWriter::~ZipWriter()
{
    if (zip)
        zipClose(zip, nullptr);
}

bool ZipWriter::open(const QString &name)
{
    fileName = name;
    zip = zipOpen64(QFile::encodeName(fileName).constData(), APPEND_STATUS_CREATE);
    if (!zip)
        error = QStringLiteral("cannot create %1").arg(fileName);
    return zip;
}

bool ZipWriter::addFile(const QByteArray &entryName, QFile &source)
{
    const QString sourcePath = QString::fromLatin1(entryName);
    // The mode is taken from the open handle, so it belongs to the bytes that are stored.
    struct stat status;
    if (::fstat(source.handle(), &status) != 0) {
        error = QStringLiteral("cannot read %1: %2").arg(sourcePath, qt_error_string(errno));
        return false;
    }
    if (!openEntry(entryName, status.st_mode, QDateTime::fromSecsSinceEpoch(status.st_mtime),
                   status.st_size >= 0xffffffffLL))
        return false;
    QByteArray buffer(chunkSize, Qt::Uninitialized);
    for (;;) {
        const qint64 read = source.read(buffer.data(), buffer.size());
        if (read < 0) {
            error = QStringLiteral("cannot read %1: %2").arg(sourcePath, source.errorString());
            return false;
        }
        if (read == 0)
            return closeEntry();
        if (!writeEntry(buffer.constData(), read))
            return false;
    }
}

bool ZipWriter::addData(const QByteArray &entryName, const QByteArray &data, unsigned int mode)
{
    return openEntry(entryName, mode, QDateTime::currentDateTime(), false)
        && writeEntry(data.constData(), data.size()) && closeEntry();
}

bool ZipWriter::close()
{
    if (!zip)
        return false;
    const int result = zipClose(zip, nullptr);
    zip = nullptr;
    // The first error tells what went wrong; closing after it fails as well.
    if (result != ZIP_OK && error.isEmpty())
        error = QStringLiteral("cannot write %1").arg(fileName);
    return result == ZIP_OK;
}

bool ZipWriter::openEntry(const QByteArray &entryName, unsigned int mode, const QDateTime &modified,
                          bool large)
{
    const QDate date = modified.date();
    const QTime time = modified.time();
    zip_fileinfo info = {};
    info.tmz_date.tm_sec = uInt(time.second());
    info.tmz_date.tm_min = uInt(time.minute());
    info.tmz_date.tm_hour = uInt(time.hour());
    info.tmz_date.tm_mday = uInt(date.day());
    info.tmz_date.tm_mon = uInt(date.month() - 1);
    info.tmz_date.tm_year = uInt(date.year());
    info.external_fa = uLong(mode) << 16;
    const int result = zipOpenNewFileInZip4_64(
        zip, entryName.constData(), &info, nullptr, 0, nullptr, 0, nullptr,
        compression == Stored ? 0 : Z_DEFLATED, Z_DEFAULT_COMPRESSION, 0, -MAX_WBITS, DEF_MEM_LEVEL,
        Z_DEFAULT_STRATEGY, nullptr, 0, madeByUnix, 0, large ? 1 : 0);
    if (result != ZIP_OK)
        error = QStringLiteral("cannot add %1 to %2").arg(QString::fromLatin1(entryName), fileName);
    return result == ZIP_OK;
}

bool ZipWriter::writeEntry(const char *data, qint64 size)
{
    for (qint64 done = 0; done < size; done += chunkSize) {
        const unsigned int length = unsigned(qMin(chunkSize, size - done));
        if (zipWriteInFileInZip(zip, data + done, length) != ZIP_OK) {
            error = QStringLiteral("cannot write %1").arg(fileName);
            return false;
        }
    }
    return true;
}

bool ZipWriter::closeEntry()
{
    if (zipCloseFileInZip(zip) != ZIP_OK) {
        error = QStringLiteral("cannot write %1").arg(fileName);
        return false;
    }
    return true;
}
