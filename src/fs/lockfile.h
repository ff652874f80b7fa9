#ifndef LOCKFILE_H
#define LOCKFILE_H

#include "filedescriptor.h"

#include <QByteArray>

// An exclusive lock on a plain file in a directory, which only those who may write the
// directory can open: anyone who can open a file can flock it, and would stop every run for as
// long as they like. The file is made with the directory's owner, for that owner alone, or with
// its group for the group too where the group may write the directory. A plain file of other
// rights, which others could have opened, is replaced before it is used; each lock is checked to
// be on the file that the name still holds, so that a replacement never lets two runs in.
class LockFile
{
public:
    enum Outcome {
        Taken,
        Held, // by another process; holder() names it where the system can tell
        NotWritable, // this run may not write the directory, so it has nothing to protect
        NotPlainFile, // a link, a directory, a FIFO or a device has the name
        Failed // errno tells why
    };

    // Takes the lock on `name` in `directory`, making the file where it is missing.
    Outcome take(int directory, const QByteArray &name);
    // The process that holds the lock after Held; 0 when the system does not tell.
    qint64 holder() const { return holdingProcess; }

private:
    // Retry: the name changed under the attempt, or the file was replaced.
    enum Attempt { Done, Retry };
    Attempt attempt(int directory, const QByteArray &name, Outcome *outcome);

    FileDescriptor file;
    qint64 holdingProcess = 0;
};

#endif // LOCKFILE_H
