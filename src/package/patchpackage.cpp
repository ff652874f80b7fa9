#include "patchpackage.h"

#include "archiveextractor.h"
#include "binarydelta.h"
#include "downloaddirectory.h"
#include "freespace.h"
#include "manifestformat.h"
#include "pathbeneath.h"
#include "vornupdatepackage.h"

#include <QDir>
#include <QFile>
#include <QXmlStreamWriter>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

// How much of an installed file is hashed between two looks at the cancel flag.
const qint64 hashBlockSize = 1 << 20;

// The archive entry at a manifest entry's place, as the extractor names what it unpacked.
QString entryName(const QString &path, const QString &name)
{
    QString cleaned = QDir::cleanPath(path + QLatin1Char('/') + name);
    while (cleaned.startsWith(QLatin1Char('/')))
        cleaned.remove(0, 1);
    return cleaned;
}

} // namespace

PatchPackage::PatchPackage(const QString &archivePath, const QString &urlPath, qint64 wholeSize)
    : archivePath(archivePath)
    , manifestEntry(entryName(QString(), VornUpdatePackage::manifestPath(urlPath)))
    , wholeSize(wholeSize)
{ }

Failure PatchPackage::rebuild(const ManifestWalker::Identity &identity, const QString &installDir,
                              const DownloadDirectory &downloads, const QString &packageUrlPath)
{
    // What an earlier attempt left goes first. Tolerated: what stays is met file by file by the
    // unpacking, which names a file it cannot make.
    downloads.removeWorkingDirectory(identity.name);
    // Nothing of a patch that does not fit may pass for a file of the whole package.
    const bool rebuilt = rebuildIn(identity, installDir, downloads, packageUrlPath);
    workDirectory.reset();
    if (rebuilt)
        return Failure();
    downloads.removeWorkingDirectory(identity.name);
    return failure();
}

bool PatchPackage::rebuildIn(const ManifestWalker::Identity &identity, const QString &installDir,
                             const DownloadDirectory &downloads, const QString &packageUrlPath)
{
    entries.clear();
    deltas.clear();
    files.clear();
    const QString workDir = DownloadDirectory::workingDirectory(QStringLiteral("."), identity.name);
    // Unpacked as a whole package is, within the same limits.
    ArchiveExtractor extractor(downloads.descriptor(), archivePath, workDir);
    extractor.protect(DownloadDirectory::unwindDirectory(QString(), identity.name));
    extractor.setCancelFlag(cancel);
    const Failure unpackFailure = extractor.extract();
    if (unpackFailure.kind() == Failure::Cancelled)
        return fail(QStringLiteral("cancelled"));
    // The only storage failure without an errno is the one of too little room.
    if (unpackFailure)
        return fail(QStringLiteral("cannot unpack the patch: %1").arg(unpackFailure.text()),
                    unpackFailure.kind() == Failure::Storage && !unpackFailure.systemError()
                        ? ENOSPC
                        : unpackFailure.systemError());
    const QStringList unpacked = extractor.getUnpackedFiles();
    if (!unpacked.contains(manifestEntry))
        return fail(QStringLiteral("the patch holds no manifest"));
    for (const QString &name : unpacked) {
        if (name != manifestEntry)
            files.append(name);
    }
    const QString packageManifest
        = entryName(QString(), VornUpdatePackage::manifestPath(packageUrlPath));
    if (files.contains(packageManifest))
        return fail(QStringLiteral("a file of the patch lies where the manifest goes"));

    workDirectory = PathBeneath::openDirectory(downloads.descriptor(), workDir, false);
    // Missing only when nothing is installed, and then nothing can be patched.
    installation.open(installDir);
    if (!readManifest(identity, installDir, QSet<QString>(unpacked.cbegin(), unpacked.cend()))
        || !fitsBudget(extractor.getDeclaredSize(), extractor.getArchiveSize()))
        return false;
    for (const Delta &delta : std::as_const(deltas)) {
        if (!rebuildFile(delta))
            return false;
    }
    return writeManifest(identity, packageManifest);
}

// Takes every entry of the patch's manifest, each patch turned into the addition of the file
// it rebuilds; what the installer would skip needs no rebuilding.
bool PatchPackage::readManifest(const ManifestWalker::Identity &identity, const QString &installDir,
                                const QSet<QString> &unpacked)
{
    QFile manifest;
    if (!PathBeneath::openFile(workDirectory.get(), manifestEntry, O_RDONLY)
             .handTo(manifest, QIODevice::ReadOnly))
        return fail(QStringLiteral("the patch's manifest cannot be read"));
    bool usable = true;
    ManifestWalker walker(identity, [&](ManifestWalker::FileEntry entry) {
        QString relative;
        if (entry.action == ManifestFormat::patch
            && VornUpdatePackage::placeOf(installDir, entry, &relative)) {
            const Delta delta {entryName(entry.path, entry.name), relative, entry.from, entry.to};
            if (!unpacked.contains(delta.entry) || !delta.from.isValid() || !delta.to.isValid()) {
                usable = fail(QStringLiteral("%1: the patch holds no delta with valid digests")
                                  .arg(relative));
                return Failure(Failure::Refused, error);
            }
            deltas.append(delta);
            entry.action = ManifestFormat::add;
        }
        entries.append(entry);
        return Failure();
    });
    walker.requireIdentity();
    const Failure failure = walker.walk(&manifest);
    if (!usable)
        return false;
    if (failure)
        return fail(QStringLiteral("the patch's manifest is damaged or names another component"));
    return true;
}

// What the deltas will write counts, before the first is applied, as unpacked bytes count:
// a small patch must not fill the disk with what it declares.
bool PatchPackage::fitsBudget(quint64 unpackedBytes, qint64 archiveSize)
{
    quint64 rebuilt = 0;
    for (const Delta &delta : std::as_const(deltas)) {
        QFile file;
        if (!PathBeneath::openFile(workDirectory.get(), delta.entry, O_RDONLY)
                 .handTo(file, QIODevice::ReadOnly))
            return fail(QStringLiteral("%1: the delta cannot be read").arg(delta.relative));
        const qint64 size = BinaryDelta::declaredSize(file.read(BinaryDelta::headerSize));
        if (size < 0 || size > BinaryDelta::maximumFileSize)
            return fail(QStringLiteral("%1: the delta is damaged").arg(delta.relative));
        rebuilt += quint64(size);
    }
    const ArchiveExtractor::Limits limits;
    const quint64 base = quint64(qMax(wholeSize, archiveSize));
    const quint64 total = unpackedBytes + rebuilt;
    if (total > limits.bytes || total > limits.allowance + limits.ratio * base)
        return fail(QStringLiteral("the rebuilt files would take %1 bytes, more than the package "
                                   "may unpack to")
                        .arg(total));
    const qint64 available = availableBytes(workDirectory.get());
    if (available >= 0 && rebuilt > quint64(available))
        return fail(QStringLiteral("the rebuilt files need %1 bytes, the download directory has "
                                   "room for %2")
                        .arg(rebuilt)
                        .arg(available),
                    ENOSPC);
    return true;
}

bool PatchPackage::rebuildFile(const Delta &delta)
{
    const QString &relative = delta.relative;
    // Memory holds the installed file and the delta, both mapped, and a block of the rebuilt file.
    FileDescriptor source = installation.openPlainFile(relative);
    struct stat status;
    if (!source.isValid() || ::fstat(source.get(), &status) != 0
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
    Digest digest;
    if (!hashInstalled(before, delta.from.algorithm(), &digest))
        return fail(QStringLiteral("cancelled"));
    if (digest != delta.from)
        return fail(QStringLiteral("%1: the installed file is not the one the patch was made for")
                        .arg(relative));

    QFile deltaFile;
    // The builder keeps a delta only when it is smaller than the file it makes.
    if (!PathBeneath::openFile(workDirectory.get(), delta.entry, O_RDONLY)
             .handTo(deltaFile, QIODevice::ReadOnly)
        || deltaFile.size() > BinaryDelta::maximumFileSize)
        return fail(QStringLiteral("%1: the delta cannot be read").arg(relative));
    // Mapped rather than read: its pages are in the page cache since the unpacking, and a copy
    // touched fresh pages, each of which costs more than reading it (a major release's deltas
    // made 13,300 of a rebuild's 22,400 page faults). The rebuilt file takes the delta's name;
    // the unlinked delta stays mapped until it has been applied.
    uchar *deltaBytes = deltaFile.size() > 0 ? deltaFile.map(0, deltaFile.size()) : nullptr;
    if ((deltaFile.size() > 0 && !deltaBytes)
        || !PathBeneath::removeFile(workDirectory.get(), delta.entry))
        return fail(QStringLiteral("%1: the delta cannot be read").arg(relative));
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(deltaBytes),
                                                     qsizetype(deltaFile.size()));
    QFile file;
    if (!PathBeneath::createFile(workDirectory.get(), delta.entry, O_WRONLY)
             .handTo(file, QIODevice::WriteOnly))
        return fail(QStringLiteral("%1: %2").arg(relative, file.errorString()));
    Digest::Hash rebuilt;
    rebuilt.reset(delta.to.algorithm());
    const Failure applied
        = BinaryDelta::apply(before, bytes, &file, BinaryDelta::maximumFileSize, &rebuilt, cancel);
    if (applied || !file.flush())
        return fail(
            QStringLiteral("%1: %2").arg(relative, applied ? applied.text() : file.errorString()),
            file.error() == QFileDevice::ResourceError ? ENOSPC : 0);
    if (rebuilt.result() != delta.to)
        return fail(QStringLiteral("%1: the rebuilt file is not the released one").arg(relative));
    return true;
}

bool PatchPackage::hashInstalled(const QByteArray &bytes, Digest::Algorithm algorithm,
                                 Digest *digest) const
{
    Digest::Hash hash;
    hash.reset(algorithm);
    for (qint64 done = 0; done < bytes.size(); done += hashBlockSize) {
        if (isCancelled())
            return false;
        hash.add(bytes.constData() + done, qMin(hashBlockSize, bytes.size() - done));
    }
    *digest = hash.result();
    return true;
}

bool PatchPackage::writeManifest(const ManifestWalker::Identity &identity,
                                 const QString &relativePath)
{
    QFile manifest;
    if (!PathBeneath::createFile(workDirectory.get(), relativePath, O_WRONLY)
             .handTo(manifest, QIODevice::WriteOnly))
        return fail(QStringLiteral("cannot write the manifest: %1").arg(manifest.errorString()));
    QXmlStreamWriter xml(&manifest);
    xml.writeStartDocument();
    xml.writeStartElement(ManifestFormat::package);
    xml.writeAttribute(ManifestFormat::project, identity.project);
    xml.writeAttribute(ManifestFormat::name, identity.name);
    xml.writeAttribute(ManifestFormat::type, identity.type);
    for (const ManifestWalker::FileEntry &entry : std::as_const(entries)) {
        xml.writeEmptyElement(ManifestFormat::file);
        xml.writeAttribute(ManifestFormat::name, entry.name);
        xml.writeAttribute(ManifestFormat::path, entry.path);
        xml.writeAttribute(ManifestFormat::action, entry.action);
    }
    xml.writeEndDocument();
    if (xml.hasError() || !manifest.flush())
        return fail(QStringLiteral("cannot write the manifest: %1").arg(manifest.errorString()),
                    manifest.error() == QFileDevice::ResourceError ? ENOSPC : 0);
    return true;
}

Failure PatchPackage::failure() const
{
    const bool diskFull = systemError == ENOSPC || systemError == EDQUOT;
    return Failure(diskFull ? Failure::Storage : Failure::Package, error, systemError);
}

bool PatchPackage::fail(const QString &text, int systemError)
{
    error = text;
    this->systemError = systemError;
    return false;
}
