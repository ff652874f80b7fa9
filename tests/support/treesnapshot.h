#ifndef TREESNAPSHOT_H
#define TREESNAPSHOT_H

#include <QByteArray>
#include <QFileDevice>
#include <QMap>
#include <QString>

// Every file, directory and symbolic link below a directory, with bytes and modes, so that a
// test can compare a whole tree before and after an operation. A FIFO is noted, never read.
class TreeSnapshot
{
public:
    struct Entry
    {
        enum Kind { File, Directory, Link, Special } kind; // Special: a FIFO, socket or device
        QFileDevice::Permissions permissions;
        QByteArray content; // bytes of a file, target of a link
        bool operator==(const Entry &other) const
        {
            return kind == other.kind && permissions == other.permissions
                && content == other.content;
        }
        bool operator!=(const Entry &other) const { return !(*this == other); }
    };

    static TreeSnapshot take(const QString &root);

    const QMap<QString, Entry> &entries() const { return items; }
    // The bytes of each file, by relative path.
    QMap<QString, QByteArray> fileContents() const;
    // Leaves out a path and everything below it; an empty path leaves out nothing.
    void removeBelow(const QString &relativePath);
    bool operator==(const TreeSnapshot &other) const { return items == other.items; }
    // A readable list of the paths that differ, for failure messages.
    QString differences(const TreeSnapshot &other) const;

private:
    QMap<QString, Entry> items;
};

#endif // TREESNAPSHOT_H
