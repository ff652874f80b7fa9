#ifndef TESTZIP_H
#define TESTZIP_H

#include <QByteArray>

// Damages zip archives in place, given as their bytes.
namespace TestZip {

// Offset of an entry's first data byte in the archive bytes, -1 when not found.
qsizetype dataOffset(const QByteArray &zip, const QByteArray &name);
// Rewrites the uncompressed size that both headers of the entry declare.
bool setDeclaredSize(QByteArray &zip, const QByteArray &name, quint32 size);
// Points the central header of name at the local header and bytes of sharedName, as a crafted
// archive does to unpack one stored stream many times.
bool shareBytes(QByteArray &zip, const QByteArray &name, const QByteArray &sharedName);
// Rewrites the compression method in both headers of the entry.
bool setMethod(QByteArray &zip, const QByteArray &name, quint16 method);

} // namespace TestZip

#endif // TESTZIP_H
