#ifndef SERVERLOG_H
#define SERVERLOG_H

#include <QByteArrayView>
#include <QString>

// The server's log on standard error: a line for each exchange, and the server's notes.
namespace ServerLog {

// Buffers the log, so that it is written a few times a second rather than once per exchange:
// at thousands of exchanges a second the writes would cost more than the exchanges.
void buffer();
// Appends one whole line, its newline included.
void write(QByteArrayView line);
// Writes what is buffered.
void flush();
// Writes a note of the server's at once, after the lines before it.
void note(const QString &message);

} // namespace ServerLog

#endif // SERVERLOG_H
