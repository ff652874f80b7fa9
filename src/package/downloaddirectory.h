#ifndef DOWNLOADDIRECTORY_H
#define DOWNLOADDIRECTORY_H

#include "failure.h"
#include "filedescriptor.h"

#include <QString>
#include <QStringList>

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

// The download directory lies in the shared temporary directory under a fixed name, where
// anyone may have put a link or a directory of that name first. It is used only while it is a
// real directory of this user that nobody else can write to, and what is written into it is
// written beneath its checked descriptor, following no link.
//
// Its layout: the lock file of the run, the installation journal, "downloading/" with the
// bodies still arriving (named by their place in the run), each verified package at its
// link's path, and each package's working directory named after its component. The network only
// ever writes below "downloading/"; a body becomes a package only once it is verified.
class DownloadDirectory
{
public:
    // owner is the user who must own it.
    explicit DownloadDirectory(const QString &path, uid_t owner = ::geteuid());

    // The download directory of this user, made if missing, with a trailing separator:
    // "tupdates" in tempDir while it is this user's private directory. Another local user
    // may have taken that name first; then one of this user's own is used ("tupdates-UID" in
    // tempDir, or "vorn/tupdates" in cacheDir), without a word, so that nobody can stop this
    // user's updates. One that holds the journal of an interrupted run is taken first,
    // wherever it lies, so that the run is undone.
    static QString choose(const QString &tempDir, const QString &cacheDir);

    // Creates the directory with mode 0700, and its missing parents; something that already
    // stands there is left as it is, for open() to judge.
    void create() const;

    // Opens the directory without following a link and checks it on that descriptor, so that
    // nothing can be swapped in between. A failure when it must not be used, which leaves it
    // closed.
    Failure open();
    // Checks again, without opening it again, that the opened directory is still the one at
    // its path and still fit to use: nothing may have been swapped in since. A directory that
    // could not be opened is refused as it was then.
    Failure recheck();
    bool isOpen() const { return directory.isValid(); }
    int descriptor() const { return directory.get(); }
    // The cleaned path it was made with.
    const QString &location() const { return path; }

    // Empties the opened directory for a new download, but for its lock file: nothing an
    // earlier run left may be taken for a package or a backup. Refused while a journal still
    // waits to be undone.
    Failure clear() const;
    // The name of the file that a run locks while it uses the directory.
    static QByteArray lockFileName();
    // A failure unless the file system of the opened directory has room for that many bytes.
    Failure hasRoomFor(qint64 bytes) const;
    // Removes bodies left by a run that ended before they were verified.
    void removeUnverified() const;
    // Removes every file below the opened directory but the lock file, and keeps the
    // directories: what a run that has ended leaves. False when something could not be
    // removed. The lock file goes only as its lock is let go (removeLockFile()): removed while
    // held, it would let the next run lock a new file of that name while this one goes on.
    bool removeFiles() const;
    // Whether removeFiles() has run: the lock file goes then too, once its lock is let go.
    bool hasRemovedFiles() const { return removedFiles; }
    // Removes the lock file; only while this run holds its lock, just before letting it go.
    void removeLockFile() const;

    // The file that receives the body of the package at position index of the run, created or
    // emptied, open for reading and writing, in file; the failure's text names the package.
    Failure createBodyFile(int index, const QString &packageName, FileDescriptor *file) const;
    // The path of that file below the directory.
    static QString bodyName(int index);
    // Removes that file, or the link that stands in its place.
    void removeBody(int index) const;
    // Makes the verified body of index the package at relativePath, which nothing may occupy.
    Failure adoptBody(int index, const QString &relativePath, const QString &packageName) const;

    // The text for a package that the directory cannot take, for that reason.
    static QString storeFailure(const QString &packageName, const QString &reason);
    // Names of the directory's own entries, which no component name or link may take.
    static bool isReservedName(const QString &name);

    // The layout, spelled here alone. The journal's name; a package's working directory,
    // named after its component; the directory of its backups below that.
    static QString journalName();
    static QString workingDirectory(const QString &dir, const QString &componentName);
    static QString unwindDirectory(const QString &dir, const QString &componentName);
    // Removes the working directory of that component with everything in it, following no
    // link; false when something stays.
    bool removeWorkingDirectory(const QString &componentName) const;
    // Whether path is the unwind directory of a plainly named package directly in dir.
    static bool isUnwindDirectory(const QString &dir, const QString &path);
    // Whether a package of the component ownName at the relative path (in segments) would
    // land where the run itself writes: the journal, the bodies, the lock, a working directory
    // or its backups, or where the other packages (at otherPaths, of otherNames) land.
    static bool namesWorkPlace(const QList<QByteArray> &path,
                               const QList<QList<QByteArray>> &otherPaths,
                               const QByteArray &ownName, const QList<QByteArray> &otherNames);

private:
    Failure refuse(const QString &text);
    // Refused for the system's error code.
    Failure refuseFor(int code);
    Failure judge(const struct stat &status);
    static Failure fail(const QString &text, int systemError = 0);
    bool holdsJournal() const;

    QString path;
    uid_t owner;
    FileDescriptor directory;
    // Why open() refused the directory.
    Failure refusal;
    mutable bool removedFiles = false;
};

#endif // DOWNLOADDIRECTORY_H
