#ifndef RELEASETREE_H
#define RELEASETREE_H

#include "filedescriptor.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

class QFile;

// The files of a release directory, read beneath it and never beyond: the tree may come from
// an untrusted checkout, and a link in it must not put a file of the build machine (its
// signing key, say) into a published package. Plain files are taken; a symbolic link whose
// target is a plain file within the directory stands for that file. Any other link (out of the
// directory, to a directory, to nothing), FIFOs, devices and sockets are refused, and so are
// names with a control character or that are not valid in the file system's encoding. The text
// of each link is kept, for a patch to tell the links that stay the same.
class ReleaseTree
{
public:
    // The directory's own path may pass through links: it is the publisher's to name.
    bool open(const QString &directory);
    // Every file below the directory by its path relative to it, hidden ones included, sorted.
    bool collect(QStringList *files);
    // A collected file, opened for reading as a plain file beneath the directory, whatever
    // has been put in its place since.
    bool openFile(const QString &relativePath, QFile *file);
    // The text of a collected link; empty for a plain file.
    QByteArray linkText(const QString &relativePath) const { return links.value(relativePath); }
    QString errorString() const { return error; }

private:
    bool walk(int directory, const QByteArray &prefix, QStringList *files);
    // The file a link leads to, beneath the directory; invalid with errno set when it leaves it.
    FileDescriptor openBeneath(const QByteArray &relativePath);
    bool fail(const QString &message);

    FileDescriptor root;
    QHash<QString, QByteArray> links;
    QString error;
};

#endif // RELEASETREE_H
