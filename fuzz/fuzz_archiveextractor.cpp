// Unpacks an arbitrary archive the way an update package is unpacked: the archive core.zip
// beside the extraction directory core/, both protected together with its unwind/ directory.
//
// Whatever the archive holds, nothing may be written outside core/ nor into core/unwind/, and
// the archive itself must stay as it was. The directories lie deeper below a private root
// than any entry name of at most 255 bytes could climb with "../", so an escape lands in one
// of the directories on the way down, each of which must hold nothing but the next.

#include "archiveextractor.h"
#include "pathbeneath.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const int depth = 90;

void fail(const char *what, const QString &path)
{
    fprintf(stderr, "%s: %s\n", what, qPrintable(path));
    abort();
}

struct Sandbox
{
    Sandbox()
        : root(QDir::tempPath() + QLatin1String("/vorn-fuzz-archive-XXXXXX"))
    {
        QString dir = root.path();
        for (int level = 0; level < depth; ++level)
            dir += QLatin1String("/d");
        if (!root.isValid() || !QDir().mkpath(dir))
            fail("cannot create", dir);
        archive = dir + QLatin1String("/core.zip");
        target = dir + QLatin1String("/core");
        unwind = target + QLatin1String("/unwind");
        beside = PathBeneath::openDirectory(dir);
        if (!beside.isValid())
            fail("cannot open", dir);

        // Kept open: listing them again after every input costs one rewind each.
        for (dir = root.path(); levels.size() <= size_t(depth); dir += QLatin1String("/d")) {
            DIR *stream = opendir(QFile::encodeName(dir).constData());
            if (!stream)
                fail("cannot list", dir);
            levels.push_back(stream);
        }
    }

    ~Sandbox()
    {
        for (DIR *stream : levels)
            closedir(stream);
    }

    // Every directory on the way down holds the next one only, the last one the archive and
    // the extraction directory. Returns the first stranger found, empty if there is none.
    QString stranger() const
    {
        QString dir = root.path();
        for (size_t level = 0; level < levels.size(); ++level, dir += QLatin1String("/d")) {
            DIR *stream = levels[level];
            rewinddir(stream);
            while (const dirent *entry = readdir(stream)) {
                const char *name = entry->d_name;
                if (!strcmp(name, ".") || !strcmp(name, ".."))
                    continue;
                const bool own = level < size_t(depth)
                    ? !strcmp(name, "d")
                    : !strcmp(name, "core.zip") || !strcmp(name, "core");
                if (!own)
                    return dir + QLatin1Char('/') + QFile::decodeName(name);
            }
        }
        return QString();
    }

    QTemporaryDir root;
    QString archive;
    QString target;
    QString unwind;
    // The directory of the archive and core/, which the extractor works beneath.
    FileDescriptor beside;
    std::vector<DIR *> levels;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Sandbox sandbox;
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));

    QFile archive(sandbox.archive);
    if (!archive.open(QIODevice::WriteOnly) || archive.write(bytes) != bytes.size()
        || !archive.flush() || !QDir().mkpath(sandbox.unwind))
        fail("cannot prepare", sandbox.archive);
    archive.close();

    ArchiveExtractor extractor(sandbox.beside.get(), QStringLiteral("core.zip"),
                               QStringLiteral("core/"));
    extractor.protect(QStringLiteral("core.zip"));
    extractor.protect(QStringLiteral("core/unwind/"));
    extractor.extract();

    const QString stranger = sandbox.stranger();
    if (!stranger.isEmpty())
        fail("written outside the extraction directory", stranger);
    if (!QFileInfo(sandbox.unwind).isDir()
        || !QDir(sandbox.unwind)
                .isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot))
        fail("written into the unwind directory", sandbox.unwind);
    if (!archive.open(QIODevice::ReadOnly) || archive.readAll() != bytes)
        fail("archive changed", sandbox.archive);
    archive.close();

    if (!QDir(sandbox.target).removeRecursively() || !archive.remove())
        fail("cannot clean up", sandbox.target);
    return 0;
}
