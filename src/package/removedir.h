#ifndef REMOVEDIR_H
#define REMOVEDIR_H

#include <QString>

// Deletes every file below path, hidden ones included, and keeps the directories. Symbolic
// links are deleted as links and never followed, so nothing outside the tree is touched.
void removeDir(const QString &path);

#endif // REMOVEDIR_H
