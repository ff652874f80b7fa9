#include "patchpackage.h"

#include "archiveextractor.h"
#include "binarydelta.h"
#include "pathbeneath.h"
#include "sha256.h"
#include "vornupdatepackage.h"
#include "zipwriter.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QXmlStreamWriter>

#include <cstdio>
#include <sys/stat.h>

namespace {

// A digest as the manifest writes it: 64 hex digits; empty when it is not one.
QByteArray digestOf(const QString &hex)
{
    const QByteArray bytes = QByteArray::fromHex(hex.toLatin1());
    return bytes.size() == 32 && bytes.toHex() == hex.toLower().toLatin1() ? bytes : QByteArray();
}

QByteArray sha256Of(QFile &file)
{
    Sha256 hash;
    hash.reset();
    QByteArray block(1 << 20, Qt::Uninitialized);
    for (qint64 read; (read = file.read(block.data(), block.size())) > 0;)
        hash.add(block.constData(), read);
    return file.error() == QFile::NoError ? hash.result() : QByteArray();
}

} // namespace

PatchPackage::PatchPackage(const QString &archivePath, const QString &urlPath)
    : archivePath(archivePath)
    , urlPath(urlPath)
{ }

bool PatchPackage::rebuild(const ManifestWalker::Identity &identity, const QString &installDir,
                           const QString &workDir, const QString &output,
                           const QString &packageUrlPath)
{
    QDir(workDir).removeRecursively();
    QDir().mkpath(workDir);
    const bool rebuilt = rebuildIn(identity, installDir, workDir)
        && writeArchive(identity, workDir, output, packageUrlPath);
    QDir(workDir).removeRecursively();
    return rebuilt;
}

bool PatchPackage::rebuildIn(const ManifestWalker::Identity &identity, const QString &installDir,
                             const QString &workDir)
{
    entries.clear();
    // Unpacked as a whole package is, within the same limits.
    ArchiveExtractor extractor(archivePath, workDir);
    if (extractor.extract() != ArchiveExtractor::Success)
        return fail(QStringLiteral("cannot unpack the patch: %1 %2")
                        .arg(extractor.getFailedEntry(), extractor.getErrorString()));
    QFile manifest(workDir + VornUpdatePackage::manifestPath(urlPath));
    if (!manifest.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("the patch holds no manifest"));
    // Missing only when nothing is installed, and then nothing can be patched.
    installation.open(installDir);

    bool rebuilt = true;
    const ManifestWalker walker(identity, [&](const ManifestWalker::FileEntry &entry) {
        if (entry.action != u"add" && entry.action != u"patch") {
            entries.append(entry);
            return true;
        }
        // As the installer places it; what it would skip is left out.
        QString relative;
        if (!PathBeneath::isWithin(installDir,
                                   PathBeneath::cleanAbsolute(installDir + QLatin1Char('/')
                                                              + entry.path + QLatin1Char('/')
                                                              + entry.name),
                                   &relative)
            || relative.isEmpty())
            return true;
        const QString unpacked
            = workDir + QLatin1Char('/') + entry.path + QLatin1Char('/') + entry.name;
        if (entry.action == u"patch" && !rebuildFile(entry, relative, unpacked)) {
            rebuilt = false;
            return false;
        }
        // Stored under its clean path, which the entry then names.
        const qsizetype slash = relative.lastIndexOf(QLatin1Char('/'));
        entries.append({relative.mid(slash + 1), slash < 0 ? QString() : relative.left(slash),
                        QStringLiteral("add"), QString(), QString()});
        return true;
    });
    const ManifestWalker::Outcome outcome = walker.walk(&manifest);
    if (rebuilt && outcome != ManifestWalker::Complete)
        return fail(QStringLiteral("the patch's manifest is damaged or names another component"));
    return rebuilt;
}

bool PatchPackage::rebuildFile(const ManifestWalker::FileEntry &entry, const QString &relative,
                               const QString &unpacked)
{
    const QByteArray from = digestOf(entry.fromSha256);
    const QByteArray to = digestOf(entry.sha256);
    if (from.isEmpty() || to.isEmpty())
        return fail(QStringLiteral("%1: the patch names no valid digests").arg(relative));

    // Memory holds the installed file, the delta and one block of the rebuilt file.
    FileDescriptor source = installation.openForReading(relative);
    struct stat status;
    if (!source.isValid() || ::fstat(source.get(), &status) != 0 || !S_ISREG(status.st_mode)
        || status.st_size > BinaryDelta::maximumFileSize)
        return fail(QStringLiteral("%1: the installed file cannot be patched").arg(relative));
    QFile installed;
    if (!source.handTo(installed, QIODevice::ReadOnly))
        return fail(QStringLiteral("%1: %2").arg(relative, installed.errorString()));
    const QByteArray before = installed.readAll();
    if (before.size() != status.st_size
        || Sha256::of(reinterpret_cast<const unsigned char *>(before.constData()), before.size())
            != from)
        return fail(QStringLiteral("%1: the installed file is not the one the patch was made for")
                        .arg(relative));

    QFile file(unpacked);
    // The builder keeps a delta only when it is smaller than the file it makes.
    if (!file.open(QIODevice::ReadOnly) || file.size() > BinaryDelta::maximumFileSize)
        return fail(QStringLiteral("%1: the delta cannot be read").arg(relative));
    const QByteArray delta = file.readAll();
    file.close();
    QString why;
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || !BinaryDelta::apply(before, delta, &file, BinaryDelta::maximumFileSize, &why)
        || !file.flush())
        return fail(
            QStringLiteral("%1: %2").arg(relative, why.isEmpty() ? file.errorString() : why));
    file.close();
    if (!file.open(QIODevice::ReadOnly) || sha256Of(file) != to)
        return fail(QStringLiteral("%1: the rebuilt file is not the released one").arg(relative));
    return true;
}

bool PatchPackage::writeArchive(const ManifestWalker::Identity &identity, const QString &workDir,
                                const QString &output, const QString &packageUrlPath)
{
    QByteArray manifest;
    QXmlStreamWriter xml(&manifest);
    xml.writeStartDocument();
    xml.writeStartElement(QStringLiteral("package"));
    xml.writeAttribute(QStringLiteral("project"), identity.project);
    xml.writeAttribute(QStringLiteral("name"), identity.name);
    xml.writeAttribute(QStringLiteral("type"), identity.type);
    for (const ManifestWalker::FileEntry &entry : std::as_const(entries)) {
        xml.writeEmptyElement(QStringLiteral("file"));
        xml.writeAttribute(QStringLiteral("name"), entry.name);
        xml.writeAttribute(QStringLiteral("path"), entry.path);
        xml.writeAttribute(QStringLiteral("action"), entry.action);
    }
    xml.writeEndDocument();

    // Stored: the installer unpacks it at once, from the same disk.
    const QString partial = output + QLatin1String(".part");
    ZipWriter zip(ZipWriter::Stored);
    bool written = zip.open(partial)
        && zip.addData(VornUpdatePackage::manifestPath(packageUrlPath).mid(1).toLatin1(), manifest,
                       S_IFREG | 0644);
    QSet<QString> stored;
    for (const ManifestWalker::FileEntry &entry : std::as_const(entries)) {
        if (!written || entry.action != u"add")
            continue;
        const QString name
            = entry.path.isEmpty() ? entry.name : entry.path + QLatin1Char('/') + entry.name;
        if (stored.contains(name))
            continue;
        stored.insert(name);
        // The installer reads entry names as Latin-1.
        written = QString::fromLatin1(name.toLatin1()) == name
            && zip.addFile(name.toLatin1(), workDir + QLatin1Char('/') + name);
    }
    written = zip.close() && written;
    if (!written
        || std::rename(QFile::encodeName(partial).constData(),
                       QFile::encodeName(output).constData())
            != 0) {
        QFile::remove(partial);
        return fail(QStringLiteral("cannot write the rebuilt package: %1").arg(zip.errorString()));
    }
    return true;
}

bool PatchPackage::fail(const QString &text)
{
    error = text;
    return false;
}
