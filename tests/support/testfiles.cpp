#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace {

bool put(const QString &path, const QByteArray &bytes, QIODevice::OpenMode mode)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | mode) && file.write(bytes) == bytes.size()
        && file.flush();
}

} // namespace

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

bool writeFile(const QString &path, const QByteArray &bytes, std::optional<int> mode)
{
    return put(path, bytes, QIODevice::Truncate)
        && (!mode || ::chmod(QFile::encodeName(path).constData(), mode_t(*mode)) == 0);
}

bool appendFile(const QString &path, const QByteArray &bytes)
{
    return put(path, bytes, QIODevice::Append);
}

int fileMode(const QString &path)
{
    struct stat status;
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return -1;
    return int(status.st_mode & 07777);
}
