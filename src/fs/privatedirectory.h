#ifndef PRIVATEDIRECTORY_H
#define PRIVATEDIRECTORY_H

#include "filedescriptor.h"

#include <QByteArray>
#include <QList>
#include <QString>

// A directory of this user's own that nobody else may enter, such as the updater's state
// directory, and the small files in it. A link in its place, a directory of another user or one
// open to others is refused, so that nobody can read what is kept there or plant what is read
// back. Its files are reached without following a link and replaced whole.
class PrivateDirectory
{
public:
    // Opens path, made with mode 0700 (and its missing parents) when it is missing; isOpen() is
    // false when it must not be used.
    explicit PrivateDirectory(const QString &path);

    bool isOpen() const { return directory.isValid(); }
    // The plain file name, at most limit bytes of it; false when it cannot be read.
    bool read(const QByteArray &name, qint64 limit, QByteArray *bytes) const;
    // Puts bytes as name, for this user alone: written beside it, synced and renamed over it.
    bool write(const QByteArray &name, const QByteArray &bytes) const;
    bool remove(const QByteArray &name) const;
    // The names of the plain files whose names begin with prefix, sorted.
    QList<QByteArray> files(const QByteArray &prefix) const;

private:
    FileDescriptor directory;
};

#endif // PRIVATEDIRECTORY_H
