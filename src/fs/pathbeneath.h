#ifndef PATHBENEATH_H
#define PATHBENEATH_H

#include "filedescriptor.h"

#include <QByteArray>
#include <QList>
#include <QString>

// Path safety in one place: files and directories reached beneath a directory descriptor
// without following symbolic links, and containment of path texts.
//
// The download directory lies in the shared temporary directory, and a link planted there
// must never redirect a read or a write. Each opener returns an invalid descriptor with errno
// set on failure: ELOOP where a link stands in the way, EPERM where the file is no plain file
// of its own (a device, a second hard link). Relative paths are split at "/"; empty and "."
// segments are skipped, ".." is refused (EACCES).
class PathBeneath
{
public:
    PathBeneath() = delete;

    // The directory itself; a link in its place is refused, the directories above it are
    // trusted.
    static FileDescriptor openDirectory(const QString &path);
    // Whether a directory made on the way is on the disk before the walk goes on: its parent
    // is flushed. Where a power cut may follow, as in an installation or beside backups.
    enum Durability { Unsynced, Synced };

    // A directory below `directory`, created with its missing parents when `create` is set.
    static FileDescriptor openDirectory(int directory, const QString &relativePath, bool create,
                                        Durability durability = Unsynced);
    // A file below `directory`, created with its missing parent directories, opened with
    // accessMode (O_WRONLY or O_RDWR) and emptied.
    static FileDescriptor createFile(int directory, const QString &relativePath, int accessMode);
    // The file `name` in `parent`, as createFile() makes it.
    static FileDescriptor createFileIn(int parent, const QByteArray &name, int accessMode);
    // A plain file below `directory`, opened with flags (O_RDONLY, or O_WRONLY | O_APPEND and
    // O_CREAT, which also makes missing parents); never emptied.
    static FileDescriptor openFile(int directory, const QString &relativePath, int flags);

    // Moves `from` to `to`, both below `directory`, making the missing parents of `to`; never
    // over something that stands at `to` (EEXIST).
    static bool moveBeneath(int directory, const QString &from, const QString &to);
    // Removes the file (or the link itself) at the path below `directory`.
    static bool removeFile(int directory, const QString &relativePath);

    enum Directories { RemoveDirectories, KeepDirectories };
    // Removes everything in `directory` but the entry `kept` (when not empty): files and links
    // as they are, directories with their contents (or only their contents, with
    // KeepDirectories), never following a link. False when something could not be removed.
    static bool removeContents(int directory, const QByteArray &kept = QByteArray(),
                               Directories directories = RemoveDirectories);

    // The segments of a relative path, as the openers walk them.
    static QList<QByteArray> segmentsOf(const QString &relativePath);
    // Walks down the segments from `directory`, making missing ones when `create` is set: with
    // createdMode exactly, or with 0777 less the umask when it is -1.
    static FileDescriptor descend(int directory, const QList<QByteArray> &segments, bool create,
                                  int createdMode = -1, Durability durability = Unsynced);

    // The absolute, cleaned form of a path text.
    static QString cleanAbsolute(const QString &path);
    // Whether the absolute path lies in root or is root, comparing whole components: /opt/im
    // holds /opt/im/x but not /opt/im-evil/x. Root is taken as given, so a relative root holds
    // nothing. relative receives the part below root, empty for root itself.
    static bool isWithin(const QString &root, const QString &absolutePath,
                         QString *relative = nullptr);
};

#endif // PATHBENEATH_H
