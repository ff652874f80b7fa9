#ifndef TESTZIP_H
#define TESTZIP_H

#include <QByteArray>
#include <QList>
#include <QString>

// Builds update archives from lists of entries, and damages them in place.
namespace TestZip {

struct Entry
{
    QByteArray name; // ends with "/" for a directory entry
    QByteArray data;
    bool stored = false; // deflated unless stored
};

bool write(const QString &path, const QList<Entry> &entries);

// Offset of an entry's first data byte in the archive bytes, -1 when not found.
qsizetype dataOffset(const QByteArray &zip, const QByteArray &name);
// Rewrites the uncompressed size that both headers of the entry declare.
bool setDeclaredSize(QByteArray &zip, const QByteArray &name, quint32 size);
// Rewrites the compression method in both headers of the entry.
bool setMethod(QByteArray &zip, const QByteArray &name, quint16 method);

QByteArray readFile(const QString &path);
bool writeFile(const QString &path, const QByteArray &bytes);

} // namespace TestZip

#endif // TESTZIP_H
