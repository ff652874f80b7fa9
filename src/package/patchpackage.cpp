#include "patchpackage.h"

#include "archiveextractor.h"
#include "binarydelta.h"
#include "sha256.h"
#include "vornupdatepackage.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QXmlStreamWriter>

#include <sys/stat.h>

PatchPackage::PatchPackage(const QString &archivePath, const QString &urlPath)
    : archivePath(archivePath)
    , urlPath(urlPath)
{ }

bool PatchPackage::rebuild(const ManifestWalker::Identity &identity, const QString &installDir,
                           const QString &dir, const QString &packageUrlPath)
{
    const QString workDir = VornUpdatePackage::workingDirectory(dir, identity.name);
    QDir(workDir).removeRecursively();
    QDir().mkpath(workDir);
    // Nothing of a patch that does not fit may pass for a file of the whole package.
    if (rebuildIn(identity, installDir, dir, packageUrlPath))
        return true;
    QDir(workDir).removeRecursively();
    return false;
}

bool PatchPackage::rebuildIn(const ManifestWalker::Identity &identity, const QString &installDir,
                             const QString &dir, const QString &packageUrlPath)
{
    entries.clear();
    files.clear();
    const QString workDir = VornUpdatePackage::workingDirectory(dir, identity.name);
    // Unpacked as a whole package is, within the same limits.
    ArchiveExtractor extractor(archivePath, workDir);
    extractor.protect(VornUpdatePackage::unwindDirectory(dir, identity.name));
    if (extractor.extract() != ArchiveExtractor::Success)
        return fail(QStringLiteral("cannot unpack the patch: %1 %2")
                        .arg(extractor.getFailedEntry(), extractor.getErrorString()));
    const QString ownManifest = VornUpdatePackage::manifestPath(urlPath);
    for (const QString &name : extractor.getUnpackedFiles()) {
        if (QLatin1Char('/') + name != ownManifest)
            files.append(name);
    }
    QFile manifest(workDir + ownManifest);
    if (!manifest.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("the patch holds no manifest"));
    const QString packageManifest = VornUpdatePackage::manifestPath(packageUrlPath);
    if (files.contains(packageManifest.mid(1)))
        return fail(QStringLiteral("a file of the patch lies where the manifest goes"));
    // Missing only when nothing is installed, and then nothing can be patched.
    installation.open(installDir);

    bool rebuilt = true;
    const ManifestWalker walker(identity, [&](ManifestWalker::FileEntry entry) {
        // Where the installer puts it; what it would skip needs no rebuilding.
        QString relative;
        if (entry.action == u"patch" && VornUpdatePackage::placeOf(installDir, entry, &relative)) {
            if (!rebuildFile(entry, relative,
                             workDir + QLatin1Char('/') + entry.path + QLatin1Char('/')
                                 + entry.name)) {
                rebuilt = false;
                return false;
            }
            entry.action = QStringLiteral("add");
        }
        entries.append(entry);
        return true;
    });
    const ManifestWalker::Outcome outcome = walker.walk(&manifest);
    if (!rebuilt)
        return false;
    if (outcome != ManifestWalker::Complete)
        return fail(QStringLiteral("the patch's manifest is damaged or names another component"));
    return writeManifest(identity, workDir + packageManifest);
}

bool PatchPackage::rebuildFile(const ManifestWalker::FileEntry &entry, const QString &relative,
                               const QString &unpacked)
{
    const QByteArray from = Sha256::fromHex(entry.fromSha256);
    const QByteArray to = Sha256::fromHex(entry.sha256);
    if (from.isEmpty() || to.isEmpty())
        return fail(QStringLiteral("%1: the patch names no valid digests").arg(relative));

    // Memory holds the installed file (mapped), the delta and a block of the rebuilt file.
    FileDescriptor source = installation.openForReading(relative);
    struct stat status;
    if (!source.isValid() || ::fstat(source.get(), &status) != 0 || !S_ISREG(status.st_mode)
        || status.st_size > BinaryDelta::maximumFileSize)
        return fail(QStringLiteral("%1: the installed file cannot be patched").arg(relative));
    QFile installed;
    if (!source.handTo(installed, QIODevice::ReadOnly))
        return fail(QStringLiteral("%1: %2").arg(relative, installed.errorString()));
    uchar *mapped = status.st_size > 0 ? installed.map(0, status.st_size) : nullptr;
    if (status.st_size > 0 && !mapped)
        return fail(QStringLiteral("%1: %2").arg(relative, installed.errorString()));
    const QByteArray before = QByteArray::fromRawData(reinterpret_cast<const char *>(mapped),
                                                      qsizetype(status.st_size));
    if (Sha256::of(before) != from)
        return fail(QStringLiteral("%1: the installed file is not the one the patch was made for")
                        .arg(relative));

    QFile file(unpacked);
    // The builder keeps a delta only when it is smaller than the file it makes.
    if (!file.open(QIODevice::ReadOnly) || file.size() > BinaryDelta::maximumFileSize)
        return fail(QStringLiteral("%1: the delta cannot be read").arg(relative));
    const QByteArray delta = file.readAll();
    file.close();
    QString why;
    QByteArray digest;
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || !BinaryDelta::apply(before, delta, &file, BinaryDelta::maximumFileSize, &why, &digest)
        || !file.flush())
        return fail(
            QStringLiteral("%1: %2").arg(relative, why.isEmpty() ? file.errorString() : why));
    if (digest != to)
        return fail(QStringLiteral("%1: the rebuilt file is not the released one").arg(relative));
    return true;
}

bool PatchPackage::writeManifest(const ManifestWalker::Identity &identity, const QString &path)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile manifest(path);
    if (!manifest.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return fail(QStringLiteral("cannot write the manifest: %1").arg(manifest.errorString()));
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
    if (xml.hasError() || !manifest.flush())
        return fail(QStringLiteral("cannot write the manifest: %1").arg(manifest.errorString()));
    return true;
}

bool PatchPackage::fail(const QString &text)
{
    error = text;
    return false;
}
