#include "parentdirectorycache.h"

#include "pathbeneath.h"

#include <cerrno>

int ParentDirectoryCache::parentOf(int root, const QString &relativePath, QByteArray *name,
                                   bool create, int createdMode, PathBeneath::Durability durability)
{
    QList<QByteArray> segments = PathBeneath::segmentsOf(relativePath);
    if (segments.isEmpty()) {
        errno = EISDIR;
        return -1;
    }
    *name = segments.takeLast();
    const QByteArray directory = segments.join('/');
    if (!parent.isValid() || directory != parentPath) {
        parentPath = directory;
        parent = PathBeneath::descend(root, segments, create, createdMode, durability);
    }
    return parent.get();
}

void ParentDirectoryCache::reset()
{
    parent.reset();
    parentPath.clear();
}
