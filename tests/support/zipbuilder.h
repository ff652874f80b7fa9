#ifndef ZIPBUILDER_H
#define ZIPBUILDER_H

#include <QByteArray>
#include <QList>
#include <QString>

// Writes zip archives for tests with minizip's writer: files (deflated or stored) and
// directory entries, in the order they are added.
class ZipBuilder
{
public:
    struct Entry
    {
        QByteArray name; // ends with "/" for a directory entry
        QByteArray content;
        bool stored = false; // deflated unless stored
    };

    ZipBuilder() = default;
    explicit ZipBuilder(const QList<Entry> &entries);

    ZipBuilder &addFile(const QByteArray &name, const QByteArray &content, bool stored = false);
    ZipBuilder &addDirectory(const QByteArray &name);
    bool write(const QString &path) const;
    // The archive's bytes; empty when it cannot be written.
    QByteArray bytes() const;

    // A manifest naming one file entry per (path, name, action) triple.
    static QByteArray manifest(const QByteArray &project, const QByteArray &name,
                               const QByteArray &type, const QList<QList<QByteArray>> &files);

private:
    QList<Entry> entries;
};

#endif // ZIPBUILDER_H
