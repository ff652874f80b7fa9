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
    ZipBuilder &addFile(const QByteArray &name, const QByteArray &content, bool deflate = true);
    ZipBuilder &addDirectory(const QByteArray &name);
    bool write(const QString &path) const;

    // A manifest naming one file entry per (path, name, action) triple.
    static QByteArray manifest(const QByteArray &project, const QByteArray &name,
                               const QByteArray &type, const QList<QList<QByteArray>> &files);

private:
    struct Entry
    {
        QByteArray name;
        QByteArray content;
        bool deflate;
    };
    QList<Entry> entries;
};

#endif // ZIPBUILDER_H
