#ifndef ZIPWRITER_H
#define ZIPWRITER_H

#include <QString>

#include <zip.h>

class QDateTime;
class QFile;

// Writes a zip archive with minizip, keeping unix modes in the entries' external attributes.
class ZipWriter
{
public:
    enum Compression { Deflated, Stored };

    explicit ZipWriter(Compression compression = Deflated)
        : compression(compression)
    { }
    ~ZipWriter();
    ZipWriter(const ZipWriter &) = delete;
    ZipWriter &operator=(const ZipWriter &) = delete;

    bool open(const QString &fileName);
    // Entry names are stored as given: the updater reads them as Latin-1. The file is read
    // from its current position, with the mode of its open handle.
    bool addFile(const QByteArray &entryName, QFile &source);
    // mode: the unix file type and permission bits, as stat() gives them.
    bool addData(const QByteArray &entryName, const QByteArray &data, unsigned int mode);
    // Closes the archive; false when it was not open or any step failed.
    bool close();
    QString errorString() const { return error; }

private:
    bool openEntry(const QByteArray &entryName, unsigned int mode, const QDateTime &modified,
                   bool large);
    bool writeEntry(const char *data, qint64 size);
    bool closeEntry();

    Compression compression;
    zipFile zip = nullptr;
    QString fileName;
    QString error;
};

#endif // ZIPWRITER_H
