#ifndef PARENTDIRECTORYCACHE_H
#define PARENTDIRECTORYCACHE_H

#include "filedescriptor.h"
#include "pathbeneath.h"

#include <QByteArray>
#include <QString>

// The directory of the last file reached below a root directory, kept open for the next one:
// the files of one directory mostly follow each other, and then need no walk down from the
// root, which goes through PathBeneath and follows no link.
class ParentDirectoryCache
{
public:
    // The descriptor of the directory that holds the last segment of relativePath, which goes
    // to name; directories on the way are made when create is set (see PathBeneath::descend).
    // -1 with errno set when it cannot be reached; the descriptor stays owned by the cache.
    int parentOf(int root, const QString &relativePath, QByteArray *name, bool create,
                 int createdMode = -1, PathBeneath::Durability durability = PathBeneath::Unsynced);
    void reset();

private:
    FileDescriptor parent;
    QByteArray parentPath;
};

#endif // PARENTDIRECTORYCACHE_H
