#ifndef DOWNLOADDIRECTORY_H
#define DOWNLOADDIRECTORY_H

#include "filedescriptor.h"

#include <QString>

#include <sys/types.h>
#include <unistd.h>

// The download directory lies in the shared temporary directory under a fixed name, where
// anyone may have put a link or a directory of that name first. It is used only while it is a
// real directory of this user that nobody else can write to, and what is written into it is
// written beneath its checked descriptor, following no link.
class DownloadDirectory
{
public:
    // owner is the user who must own it.
    explicit DownloadDirectory(const QString &path, uid_t owner = ::geteuid());

    // Creates the directory with mode 0700, and its missing parents; something that already
    // stands there is left as it is, for open() to judge.
    void create() const;

    // Opens the directory without following a link and checks it on that descriptor, so that
    // nothing can be swapped in between. False when it must not be used; errorString() then
    // holds the text for the user.
    bool open();
    int descriptor() const { return directory.get(); }

    // The file of a package at relativePath beneath the opened directory, created or emptied,
    // open for reading and writing. Invalid when it cannot be made; errorString() then holds
    // the text for the user, naming the package.
    FileDescriptor createPackageFile(const QString &relativePath, const QString &packageName);

    QString errorString() const { return error; }

private:
    bool fail(const QString &text);

    QString path;
    uid_t owner;
    FileDescriptor directory;
    QString error;
};

#endif // DOWNLOADDIRECTORY_H
