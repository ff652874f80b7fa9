#include "removedir.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

void removeDir(const QString &path)
{
    QDir dir(path);
    if (!dir.exists())
        return;

    const QStringList subdirs
        = dir.entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot, QDir::NoSort);
    for (const QString &name : subdirs) {
        const QString subdir = path + QLatin1Char('/') + name;
        // The download directory lies in the shared temporary directory: a link in it may
        // point anywhere, so it goes as a link.
        if (QFileInfo(subdir).isSymLink())
            QFile::remove(subdir);
        else
            removeDir(subdir);
    }

    // System also lists dangling links, which Files alone leaves behind.
    const QStringList files = dir.entryList(
        QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::NoSort);
    for (const QString &name : files)
        QFile::remove(dir.absoluteFilePath(name));
}
