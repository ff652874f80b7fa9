#ifndef PLAINNAME_H
#define PLAINNAME_H

#include <QString>

// Names from the update server (a component's project, name and type) are data, never paths:
// a plain name is not empty, not "." or "..", and holds no "/", "\", NUL or other control
// character, so that a directory named after it stays where it is made.
bool isPlainName(const QString &text);

#endif // PLAINNAME_H
