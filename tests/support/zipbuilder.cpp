#include "zipbuilder.h"

#include "manifestformat.h"

#include <QFile>
#include <QTemporaryDir>

#include <zip.h>

ZipBuilder::ZipBuilder(const QList<Entry> &entries)
    : entries(entries)
{ }

ZipBuilder &ZipBuilder::addFile(const QByteArray &name, const QByteArray &content, bool stored)
{
    entries.append({name, content, stored});
    return *this;
}

ZipBuilder &ZipBuilder::addDirectory(const QByteArray &name)
{
    entries.append({name.endsWith('/') ? name : name + '/', QByteArray(), true});
    return *this;
}

bool ZipBuilder::write(const QString &path) const
{
    zipFile zip = zipOpen(QFile::encodeName(path).constData(), APPEND_STATUS_CREATE);
    if (!zip)
        return false;
    bool ok = true;
    for (const Entry &entry : entries) {
        zip_fileinfo info = {};
        ok = ok
            && zipOpenNewFileInZip(zip, entry.name.constData(), &info, nullptr, 0, nullptr, 0,
                                   nullptr, entry.stored ? 0 : Z_DEFLATED, Z_DEFAULT_COMPRESSION)
                == ZIP_OK;
        if (ok && !entry.content.isEmpty())
            ok = zipWriteInFileInZip(zip, entry.content.constData(), unsigned(entry.content.size()))
                == ZIP_OK;
        ok = ok && zipCloseFileInZip(zip) == ZIP_OK;
    }
    return zipClose(zip, nullptr) == ZIP_OK && ok;
}

QByteArray ZipBuilder::manifest(const QByteArray &project, const QByteArray &name,
                                const QByteArray &type, const QList<QList<QByteArray>> &files)
{
    using namespace ManifestFormat;
    const auto attribute = [](QLatin1String key, const QByteArray &value) {
        return ' ' + QByteArray(key.data(), key.size()) + "='" + value + '\'';
    };
    const QByteArray root(package.data(), package.size());
    QByteArray xml = "<?xml version='1.0' encoding='UTF-8'?>\n<" + root
        + attribute(ManifestFormat::project, project) + attribute(ManifestFormat::name, name)
        + attribute(ManifestFormat::type, type) + ">\n";
    for (const QList<QByteArray> &entry : files)
        xml += "  <" + QByteArray(file.data(), file.size()) + attribute(path, entry.value(0))
            + attribute(ManifestFormat::name, entry.value(1)) + attribute(action, entry.value(2))
            + "/>\n";
    return xml + "</" + root + ">\n";
}

QByteArray ZipBuilder::bytes() const
{
    QTemporaryDir temp;
    const QString path = temp.filePath(QStringLiteral("archive.zip"));
    QFile file(path);
    return temp.isValid() && write(path) && file.open(QIODevice::ReadOnly) ? file.readAll()
                                                                           : QByteArray();
}
