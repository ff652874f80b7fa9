#include "replacefile.h"

#include "filedescriptor.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

bool replaceFile(const QString &source, const QString &target, QFileDevice::Permissions permissions)
{
    // The sources lie in the download directory: a link put there in place of an unpacked
    // file or a backup must not pass another file off as it.
    FileDescriptor descriptor(
        ::open(QFile::encodeName(source).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    QFile in;
    if (!descriptor.isValid() || !descriptor.handTo(in, QIODevice::ReadOnly))
        return false;

    // Same directory as the target, so that the rename stays on one file system.
    QTemporaryFile out(QFileInfo(target).absolutePath() + QLatin1Char('/') + replacementCopyPrefix()
                       + QLatin1String("XXXXXX"));
    if (!out.open())
        return false;

    // Uninitialised: it is filled before it is written.
    QByteArray buffer(256 * 1024, Qt::Uninitialized);
    for (;;) {
        const qint64 got = in.read(buffer.data(), buffer.size());
        if (got < 0)
            return false;
        if (got == 0)
            break;
        if (out.write(buffer.constData(), got) != got)
            return false;
    }
    if (!out.flush() || !out.setPermissions(permissions))
        return false;

    // QFile::rename refuses to replace an existing file; rename(2) replaces it atomically.
    if (::rename(QFile::encodeName(out.fileName()).constData(),
                 QFile::encodeName(target).constData())
        != 0)
        return false;
    out.setAutoRemove(false);
    return true;
}
