#ifndef TESTFILES_H
#define TESTFILES_H

#include <QByteArray>
#include <QString>

#include <optional>

// The bytes of a file; "(unreadable)" when it cannot be read, so that a missing file never
// passes for an empty one.
QByteArray readFile(const QString &path);

// Writes the whole file, creating missing parent directories. With a mode, the file gets
// those permission bits (e.g. 0755) whatever the umask.
bool writeFile(const QString &path, const QByteArray &bytes,
               std::optional<int> mode = std::nullopt);

// Adds the bytes at the end of the file, which is created when missing.
bool appendFile(const QString &path, const QByteArray &bytes);

// The permission bits of path, not following a link; -1 when nothing is there.
int fileMode(const QString &path);

#endif // TESTFILES_H
