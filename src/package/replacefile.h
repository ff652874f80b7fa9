#ifndef REPLACEFILE_H
#define REPLACEFILE_H

#include <QFileDevice>
#include <QString>

// Puts a copy of source at target with the given permissions, replacing whatever file or link
// stands there. The copy is written under a temporary name beside target and renamed over it,
// so target holds either its old or its new bytes at every moment, also after a crash or a
// full disk. A source that is a symbolic link is not followed. False when the copy could not be
// made; target is then unchanged.
bool replaceFile(const QString &source, const QString &target,
                 QFileDevice::Permissions permissions);

// How the temporary copies that replaceFile() writes beside their target are named: a copy cut
// short by a crash is known by it.
inline QLatin1String replacementCopyPrefix()
{
    return QLatin1String(".vorn-update-");
}

#endif // REPLACEFILE_H
