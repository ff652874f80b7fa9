#ifndef DOWNLOADDIRECTORY_H
#define DOWNLOADDIRECTORY_H

#include <QString>

#include <sys/types.h>

// The download directory lies in the shared temporary directory under a fixed name, where
// anyone may have put a link or a directory of that name first. It is used only while it is a
// real directory of this user that nobody else can write to.
class DownloadDirectory
{
public:
    // Creates the directory with mode 0700, and its missing parents; something that already
    // stands there is left as it is, for open() to judge.
    static void create(const QString &path);

    // A descriptor of the directory, opened without following a link and checked on that
    // descriptor, so that nothing can be swapped in between; the caller closes it. -1 when the
    // directory must not be used, with the text for the user in problem. owner is the user
    // who must own it.
    static int open(const QString &path, QString *problem, uid_t owner);
    static int open(const QString &path, QString *problem);
};

#endif // DOWNLOADDIRECTORY_H
