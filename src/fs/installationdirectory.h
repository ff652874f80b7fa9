#ifndef INSTALLATIONDIRECTORY_H
#define INSTALLATIONDIRECTORY_H

#include "filedescriptor.h"
#include "parentdirectorycache.h"

#include <QByteArray>
#include <QString>

// The files of one installation directory (the messenger's or the user's plug-in directory),
// reached beneath a descriptor of it without following links. A link planted anywhere inside
// makes the operation fail with errno ELOOP instead of leading a write, a removal or a backup
// to another directory. A link that is itself the file an operation names is replaced or
// removed as a link; only a backup reads through it. Relative paths are clean: no "..".
//
// Every change is on the disk once its call returns: a file, a removal, a directory made on the
// way. So the end of a run flushes nothing more, and never waits for what other programs write to
// the same disk.
class InstallationDirectory
{
public:
    enum Presence { Absent, Present, BeyondLink };

    // Opens path, following a link in its own place: where the installation lies is the
    // user's choice.
    bool open(const QString &path);
    bool isOpen() const { return root.isValid(); }
    // Mode of the directories that replace() makes: exactly that, or 0777 less the umask
    // when -1.
    void setNewDirectoryMode(int mode) { newDirectoryMode = mode; }

    // Whether something stands at the path that a file can be read from.
    Presence presence(const QString &relativePath);
    // Keeps the file's bytes and mode as backupName in backupDirectory, where nothing has that
    // name: a second name where it can, a copy otherwise; on the disk when it returns.
    bool backUp(const QString &relativePath, int backupDirectory, const QByteArray &backupName);
    // The plain file at the path, for reading: not through a link in its own place, never
    // waiting on a FIFO or a device; invalid for anything but a plain file.
    FileDescriptor openPlainFile(const QString &relativePath);
    bool remove(const QString &relativePath);
    // Puts a copy of the file at sourcePath (never through a link in its place) at the path,
    // with mode, or the source's own mode when -1, making the missing directories on the way.
    bool replace(const QString &relativePath, const QString &sourcePath, int mode = -1);
    // The same from the open file source: ELOOP then means a link on the way to the path.
    bool replace(const QString &relativePath, int source, int mode = -1);
    // Puts a backup back, as replace() does. On a full disk the file that stands there goes
    // first, so that its space takes the copy: the backup stays the way back meanwhile.
    bool restore(const QString &relativePath, const QString &backupPath);
    bool makeDirectory(const QString &relativePath);

private:
    // The directory holding the path's last segment, which goes to name; -1 when unreachable.
    int parentOf(const QString &relativePath, QByteArray *name, bool create);

    FileDescriptor root;
    ParentDirectoryCache parents;
    int newDirectoryMode = -1;
};

#endif // INSTALLATIONDIRECTORY_H
