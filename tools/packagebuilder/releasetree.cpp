#include "releasetree.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

bool isControl(QChar c)
{
    return c.category() == QChar::Other_Control;
}

// A name as an error message shows it: its control characters as \xNN, so that one message
// stays one line.
QString printable(const QString &name)
{
    QString shown;
    for (QChar c : name)
        shown += isControl(c) ? QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'))
                              : QString(c);
    return shown;
}

// Empty when the link cannot be read.
QByteArray readLink(int directory, const QByteArray &name)
{
    char target[4096];
    const ssize_t length = ::readlinkat(directory, name.constData(), target, sizeof target);
    return length < 0 ? QByteArray() : QByteArray(target, length);
}

QString kindOf(mode_t mode)
{
    if (S_ISFIFO(mode))
        return QStringLiteral("a FIFO");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("a device");
    return QStringLiteral("no plain file");
}

} // namespace

bool ReleaseTree::open(const QString &directory)
{
    root.reset(
        ::open(QFile::encodeName(directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root.isValid())
        return fail(
            errno == ENOENT || errno == ENOTDIR
                ? QStringLiteral("no directory %1").arg(directory)
                : QStringLiteral("cannot read %1: %2").arg(directory, qt_error_string(errno)));
    return true;
}

bool ReleaseTree::collect(QStringList *files)
{
    files->clear();
    links.clear();
    if (!walk(root.get(), QByteArray(), files))
        return false;
    files->sort();
    return true;
}

bool ReleaseTree::openFile(const QString &relativePath, QFile *file)
{
    FileDescriptor opened = openBeneath(QFile::encodeName(relativePath));
    struct stat status;
    if (!opened.isValid() || ::fstat(opened.get(), &status) != 0)
        return fail(QStringLiteral("cannot read %1: %2")
                        .arg(printable(relativePath), qt_error_string(errno)));
    if (!S_ISREG(status.st_mode))
        return fail(QStringLiteral("%1: %2, not a file")
                        .arg(printable(relativePath), kindOf(status.st_mode)));
    if (!opened.handTo(*file, QIODevice::ReadOnly))
        return fail(
            QStringLiteral("cannot read %1: %2").arg(printable(relativePath), file->errorString()));
    return true;
}

bool ReleaseTree::walk(int directory, const QByteArray &prefix, QStringList *files)
{
    const std::unique_ptr<DIR, int (*)(DIR *)> listing(::fdopendir(::dup(directory)), ::closedir);
    const QString shownDirectory = printable(QFile::decodeName(prefix));
    if (!listing)
        return fail(
            QStringLiteral("cannot read %1: %2").arg(shownDirectory, qt_error_string(errno)));
    QList<QByteArray> names;
    errno = 0;
    while (const dirent *entry = ::readdir(listing.get())) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            names << name;
    }
    if (errno != 0)
        return fail(
            QStringLiteral("cannot read %1: %2").arg(shownDirectory, qt_error_string(errno)));

    for (const QByteArray &name : std::as_const(names)) {
        const QByteArray path = prefix + name;
        const QString decoded = QFile::decodeName(path);
        const QString shown = printable(decoded);
        if (std::any_of(decoded.begin(), decoded.end(), isControl))
            return fail(QStringLiteral("%1: the name holds a control character").arg(shown));
        if (QFile::encodeName(decoded) != path)
            return fail(QStringLiteral("%1: the name is not valid in the file system's encoding")
                            .arg(shown));
        struct stat status;
        if (::fstatat(directory, name.constData(), &status, AT_SYMLINK_NOFOLLOW) != 0)
            return fail(QStringLiteral("cannot read %1: %2").arg(shown, qt_error_string(errno)));
        if (S_ISREG(status.st_mode)) {
            files->append(decoded);
        } else if (S_ISDIR(status.st_mode)) {
            const FileDescriptor below(::openat(directory, name.constData(),
                                                O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!below.isValid())
                return fail(
                    QStringLiteral("cannot read %1: %2").arg(shown, qt_error_string(errno)));
            if (!walk(below.get(), path + '/', files))
                return false;
        } else if (S_ISLNK(status.st_mode)) {
            const QByteArray text = readLink(directory, name);
            const QString target
                = text.isEmpty() ? QStringLiteral("?") : printable(QFile::decodeName(text));
            const FileDescriptor linked = openBeneath(path);
            if (!linked.isValid() || ::fstat(linked.get(), &status) != 0) {
                if (errno == EXDEV)
                    return fail(QStringLiteral("%1: a link to %2, outside the release directory")
                                    .arg(shown, target));
                if (errno == ENOENT)
                    return fail(QStringLiteral("%1: a link to %2, which does not exist")
                                    .arg(shown, target));
                return fail(QStringLiteral("cannot read %1, a link to %2: %3")
                                .arg(shown, target, qt_error_string(errno)));
            }
            if (S_ISDIR(status.st_mode))
                return fail(QStringLiteral("%1: a link to the directory %2; the updater installs "
                                           "files, not links: copy the directory or leave it out")
                                .arg(shown, target));
            if (!S_ISREG(status.st_mode))
                return fail(QStringLiteral("%1: a link to %2, %3, not a file")
                                .arg(shown, target, kindOf(status.st_mode)));
            // Packaged as the file it leads to.
            files->append(decoded);
            links.insert(decoded, text);
        } else {
            return fail(QStringLiteral("%1: %2, not a file").arg(shown, kindOf(status.st_mode)));
        }
    }
    return true;
}

FileDescriptor ReleaseTree::openBeneath(const QByteArray &relativePath)
{
    // The kernel resolves every link on the way and fails (EXDEV) where one leaves the
    // directory, absolute links included; no FIFO holds the open up.
    open_how how = {};
    how.flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    return FileDescriptor(
        int(::syscall(SYS_openat2, root.get(), relativePath.constData(), &how, sizeof how)));
}

bool ReleaseTree::fail(const QString &message)
{
    error = message;
    return false;
}
