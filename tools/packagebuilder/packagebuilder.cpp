#include "packagebuilder.h"

#include "binarydelta.h"
#include "deltadiffer.h"
#include "dottedversion.h"
#include "manifestformat.h"
#include "packagelink.h"
#include "packagestatement.h"
#include "plainname.h"
#include "releasetree.h"
#include "replyformat.h"
#include "signingkey.h"
#include "zipwriter.h"

#include <QFile>
#include <QHash>
#include <QSet>
#include <QThreadPool>
#include <QXmlStreamWriter>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <numeric>
#include <sys/stat.h>
#include <vector>

namespace {

// The updater reads entry names as Latin-1 into a buffer of 256 bytes.
bool fitsEntryName(const QString &name)
{
    return name.size() <= 255
        && std::all_of(name.begin(), name.end(), [](QChar c) { return c.unicode() <= 0xff; });
}

} // namespace

void PackageBuilder::setPatchFrom(const QString &oldDirectory, const QString &version)
{
    patchDirectory = oldDirectory;
    fromVersion = version;
}

bool PackageBuilder::build(const QString &directory, const QStringList &removals,
                           const QString &output)
{
    return checkInfo() && collectFiles(directory) && checkRemovals(removals)
        && (patchDirectory.isEmpty() || comparePatchFrom()) && writeArchive(output);
}

bool PackageBuilder::comparePatchFrom()
{
    ReleaseTree old;
    QStringList oldFiles;
    if (!old.open(patchDirectory) || !old.collect(&oldFiles))
        return fail(old.errorString());
    const QSet<QString> added(files.cbegin(), files.cend());
    const QSet<QString> listed(removed.cbegin(), removed.cend());
    // Gone in the new release: removed, unless the publisher lists it already.
    for (const QString &file : oldFiles) {
        if (!added.contains(file) && !listed.contains(file))
            removed << file;
    }

    const QSet<QString> released(oldFiles.cbegin(), oldFiles.cend());
    struct Changed
    {
        QString file;
        Digest from;
        Digest to;
        unsigned int mode;
        int delta;
    };
    std::vector<Changed> changed;
    // What each delta makes, and the size of that file as the archive would hold it.
    struct Made
    {
        QByteArray before;
        QByteArray after;
        Digest digest;
        QString file;
        qsizetype wholeSize = 0;
        bool rebuilds = false;
    };
    // The differ reads the bytes that these hold.
    std::vector<Made> made;
    QThreadPool pool;
    pool.setMaxThreadCount(jobs);
    DeltaDiffer differ(&pool);
    // A file shipped twice (a link packed as its target) is diffed once.
    QHash<QByteArray, int> byDigests;
    QStringList whole;
    for (const QString &file : std::as_const(files)) {
        if (!released.contains(file)) {
            whole << file;
            continue;
        }
        // The updater patches only plain files. A link with the same text in both releases
        // names the same file of both, since a release holds no other links: it is left out,
        // and the installed link follows that file's update. Any other link of the older
        // release is replaced by the whole file.
        const QByteArray oldLink = old.linkText(file);
        if (!oldLink.isEmpty()) {
            if (oldLink != release.linkText(file))
                whole << file;
            continue;
        }
        QFile oldFile;
        QFile newFile;
        if (!old.openFile(file, &oldFile))
            return fail(old.errorString());
        if (!release.openFile(file, &newFile))
            return fail(release.errorString());
        if (oldFile.size() > BinaryDelta::maximumFileSize
            || newFile.size() > BinaryDelta::maximumFileSize) {
            whole << file;
            continue;
        }
        const QByteArray before = oldFile.readAll();
        const QByteArray after = newFile.readAll();
        if (before == after)
            continue;
        // The delta's entry keeps the new file's mode, as a whole file's entry would.
        struct stat status;
        if (::fstat(newFile.handle(), &status) != 0)
            return fail(QStringLiteral("cannot read %1: %2").arg(file, qt_error_string(errno)));
        const Digest from = Digest::of(Digest::Published, before);
        const Digest to = Digest::of(Digest::Published, after);
        const QByteArray digests = from.bytes() + to.bytes();
        int delta = byDigests.value(digests, -1);
        if (delta < 0) {
            made.push_back({before, after, to, file});
            delta = differ.add(made.back().before, made.back().after);
            byDigests.insert(digests, delta);
        }
        changed.push_back({file, from, to, status.st_mode, delta});
    }
    // Compressed a piece at a time beside the deltas, at their priority, so that the largest
    // file's is not left to one thread at the end. Deflate looks back 32 KiB, so pieces of 8 MiB
    // add a few bytes each.
    const qsizetype pieceSize = 8 << 20;
    std::vector<std::vector<qsizetype>> pieceSizes(made.size());
    for (size_t index = 0; index < made.size(); ++index) {
        const QByteArray &bytes = made[index].after;
        std::vector<qsizetype> &sizes = pieceSizes[index];
        sizes.resize(size_t(qMax<qsizetype>(1, (bytes.size() + pieceSize - 1) / pieceSize)));
        for (size_t i = 0; i < sizes.size(); ++i) {
            const qsizetype at = qsizetype(i) * pieceSize;
            const qsizetype length = qMin(pieceSize, bytes.size() - at);
            pool.start(
                [&bytes, &sizes, i, at, length] {
                    sizes[i]
                        = qCompress(reinterpret_cast<const uchar *>(bytes.constData()) + at, length)
                              .size();
                },
                DeltaDiffer::priority(bytes.size()));
        }
    }
    pool.waitForDone();
    for (size_t index = 0; index < made.size(); ++index)
        made[index].wholeSize
            = std::accumulate(pieceSizes[index].begin(), pieceSizes[index].end(), qsizetype(0));

    // Checked once here, so that no package carries a delta that does not rebuild its file:
    // the digest of what it makes is compared.
    for (size_t i = 0; i < made.size(); ++i) {
        pool.start([&made, &differ, i] {
            Made &each = made[i];
            const QByteArray delta = differ.delta(int(i));
            QFile sink(QStringLiteral("/dev/null"));
            Digest::Hash hash;
            hash.reset(each.digest.algorithm());
            each.rebuilds = delta.size() >= each.wholeSize
                || (sink.open(QIODevice::WriteOnly)
                    && !BinaryDelta::apply(each.before, delta, &sink, each.after.size(), &hash)
                    && hash.result() == each.digest);
        });
    }
    pool.waitForDone();
    for (const Made &each : made) {
        if (!each.rebuilds)
            return fail(QStringLiteral("the delta of %1 does not rebuild it").arg(each.file));
    }

    for (const Changed &each : changed) {
        const QByteArray delta = differ.delta(each.delta);
        // The delta must beat the file as the archive would hold it.
        if (delta.size() >= made[size_t(each.delta)].wholeSize)
            whole << each.file;
        else
            deltas.append({each.file, each.from, each.to, delta, each.mode});
    }
    whole.sort();
    files = whole;
    return true;
}

QByteArray PackageBuilder::catalogueEntry() const
{
    QByteArray entry;
    QXmlStreamWriter xml(&entry);
    xml.setAutoFormatting(true);
    // A patch package goes into its release's component element.
    if (!fromVersion.isEmpty()) {
        xml.writeEmptyElement(ReplyFormat::patch);
        xml.writeAttribute(ReplyFormat::from, fromVersion);
        xml.writeAttribute(ReplyFormat::link, info.link);
        xml.writeAttribute(Digest::name(digest.algorithm()), QString::fromLatin1(digest.toHex()));
        xml.writeAttribute(ReplyFormat::size, QString::number(size));
        if (!signature.isEmpty())
            xml.writeAttribute(ReplyFormat::signature, QString::fromLatin1(signature.toBase64()));
        xml.writeEndDocument();
        return entry.trimmed() + '\n';
    }
    xml.writeStartElement(ReplyFormat::component);
    xml.writeAttribute(ReplyFormat::project, info.project);
    xml.writeAttribute(ReplyFormat::name, info.name);
    xml.writeAttribute(ReplyFormat::type, info.type);
    if (info.offerAlways)
        xml.writeAttribute(QStringLiteral("offer"), QStringLiteral("always"));
    const std::pair<QLatin1String, QString> fields[] = {
        {ReplyFormat::version, info.version},
        {ReplyFormat::description, info.description},
        {ReplyFormat::copyrights, info.copyrights},
        {ReplyFormat::author, info.author},
        {ReplyFormat::webpage, info.webpage},
        {ReplyFormat::email, info.email},
        {ReplyFormat::changelog, info.changelog},
        {ReplyFormat::link, info.link},
        {ReplyFormat::critical, info.critical ? QStringLiteral("true") : QStringLiteral("false")},
        {ReplyFormat::timestamp, QString::number(info.timestamp)},
        {Digest::name(digest.algorithm()), QString::fromLatin1(digest.toHex())},
        {ReplyFormat::signature, QString::fromLatin1(signature.toBase64())},
        {ReplyFormat::size, QString::number(size)},
    };
    for (const auto &[name, text] : fields) {
        if (name != ReplyFormat::signature || !signature.isEmpty())
            xml.writeTextElement(name, text);
    }
    xml.writeEndElement();
    return entry.trimmed() + '\n';
}

bool PackageBuilder::checkInfo()
{
    const QVersionNumber version = DottedVersion::parse(info.version);
    if (version.isNull())
        return fail(QStringLiteral("the version must be dotted numbers such as 1.2.0"));
    if (!patchDirectory.isEmpty()) {
        const QVersionNumber from = DottedVersion::parse(fromVersion);
        if (from.isNull())
            return fail(QStringLiteral("the version patched from must be dotted numbers"));
        // The updater offers a patch only to an older installation, which it makes newer.
        if (from >= version)
            return fail(QStringLiteral("the version patched from, %1, is not older than the "
                                       "version built, %2: give --from-version the version "
                                       "that the installations to update have now")
                            .arg(fromVersion, info.version));
    }
    // The updater refuses the others: they would become paths in its download directory.
    for (const auto &[what, value] :
         {std::pair {"project", &info.project}, std::pair {"component name", &info.name},
          std::pair {"type", &info.type}}) {
        if (!isPlainName(*value))
            return fail(QStringLiteral("the %1 must not be empty, \".\" or \"..\", nor hold "
                                       "\"/\", \"\\\" or control characters")
                            .arg(QLatin1String(what)));
    }
    PackageLink link;
    if (!link.check(info.link, info.name))
        return fail(link.errorString());
    manifestName = PackageLink::manifestEntry(info.link);
    if (!fitsEntryName(manifestName))
        return fail(QStringLiteral("the link's path is too long or not Latin-1"));
    if (info.type != u"app" && info.type != u"plugin")
        notes << QStringLiteral("the updater installs only types app and plugin, not \"%1\"")
                     .arg(info.type);
    return true;
}

bool PackageBuilder::collectFiles(const QString &directory)
{
    if (directory.isEmpty())
        return true;
    if (!release.open(directory) || !release.collect(&files))
        return fail(release.errorString());

    const QString tag = QStringLiteral("%1_%2_%3").arg(info.project, info.name, info.type);
    for (const QString &file : files) {
        if (!fitsEntryName(file))
            return fail(QStringLiteral("%1: the name is longer than 255 characters or not Latin-1")
                            .arg(file));
        if (file == manifestName)
            return fail(QStringLiteral("%1 is the name of the manifest").arg(file));
        if (file.section(u'/', -1).startsWith(tag))
            notes << QStringLiteral("%1 will not be installed: the updater only deletes files "
                                    "whose name begins with %2")
                         .arg(file, tag);
    }
    return true;
}

bool PackageBuilder::checkRemovals(const QStringList &removals)
{
    for (const QString &path : removals) {
        const QStringList segments = path.split(u'/');
        if (segments.contains(QString()) || segments.contains(QStringLiteral("."))
            || segments.contains(QStringLiteral("..")))
            return fail(QStringLiteral("cannot remove \"%1\": give a relative path such as "
                                       "lib/libold.so")
                            .arg(path));
        if (files.contains(path))
            return fail(QStringLiteral("%1 is both added and removed").arg(path));
    }
    removed = removals;
    return true;
}

QByteArray PackageBuilder::manifest() const
{
    QByteArray text;
    QXmlStreamWriter xml(&text);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeStartElement(ManifestFormat::package);
    xml.writeAttribute(ManifestFormat::project, info.project);
    xml.writeAttribute(ManifestFormat::name, info.name);
    xml.writeAttribute(ManifestFormat::type, info.type);
    const auto writeFile = [&xml](const QString &file, QLatin1String action) {
        const qsizetype slash = file.lastIndexOf(u'/');
        xml.writeEmptyElement(ManifestFormat::file);
        xml.writeAttribute(ManifestFormat::name, file.mid(slash + 1));
        xml.writeAttribute(ManifestFormat::path, slash < 0 ? QString() : file.left(slash));
        xml.writeAttribute(ManifestFormat::action, action);
    };
    for (const QString &file : files)
        writeFile(file, ManifestFormat::add);
    for (const Delta &delta : deltas) {
        writeFile(delta.file, ManifestFormat::patch);
        xml.writeAttribute(Digest::fromName(delta.from.algorithm()),
                           QString::fromLatin1(delta.from.toHex()));
        xml.writeAttribute(Digest::name(delta.to.algorithm()),
                           QString::fromLatin1(delta.to.toHex()));
    }
    for (const QString &file : removed)
        writeFile(file, ManifestFormat::remove);
    xml.writeEndDocument();
    return text;
}

bool PackageBuilder::writeArchive(const QString &output)
{
    // Written beside the output and renamed over it, so a failure leaves no partial package.
    const QString partial = output + QStringLiteral(".part");
    ZipWriter zip;
    bool written
        = zip.open(partial) && zip.addData(manifestName.toLatin1(), manifest(), S_IFREG | 0644);
    bool readable = true;
    for (qsizetype i = 0; written && readable && i < files.size(); ++i) {
        QFile source;
        readable = release.openFile(files.at(i), &source);
        written = readable && zip.addFile(files.at(i).toLatin1(), source);
    }
    for (qsizetype i = 0; written && readable && i < deltas.size(); ++i)
        written = zip.addData(deltas.at(i).file.toLatin1(), deltas.at(i).bytes, deltas.at(i).mode);
    written = zip.close() && written && readable;
    if (!written) {
        QFile::remove(partial);
        return fail(readable ? zip.errorString() : release.errorString());
    }
    // Mapped once for the digest and the signature; a zip is never empty.
    QFile package(partial);
    size = package.open(QIODevice::ReadOnly) ? package.size() : 0;
    uchar *bytes = size > 0 ? package.map(0, size) : nullptr;
    if (!bytes) {
        QFile::remove(partial);
        return fail(QStringLiteral("cannot read %1: %2").arg(partial, package.errorString()));
    }
    digest = Digest::of(Digest::Published, QByteArrayView(bytes, size));
    package.unmap(bytes);
    // The signature covers the statement of component, version and bytes, so that it cannot
    // be moved to another component or version.
    if (signer) {
        const QByteArray statement
            = PackageStatement {info.project, info.name, info.type,  info.version,
                                size,         digest,    fromVersion}
                  .text();
        signature = signer->sign(reinterpret_cast<const unsigned char *>(statement.constData()),
                                 statement.size());
    }
    if (std::rename(QFile::encodeName(partial).constData(), QFile::encodeName(output).constData())
        != 0) {
        QFile::remove(partial);
        return fail(QStringLiteral("cannot write %1: %2").arg(output, qt_error_string(errno)));
    }
    return true;
}

bool PackageBuilder::fail(const QString &message)
{
    error = message;
    return false;
}
