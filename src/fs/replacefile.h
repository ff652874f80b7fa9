#ifndef REPLACEFILE_H
#define REPLACEFILE_H

#include <QByteArray>
#include <QFileDevice>
#include <QString>

#include <sys/types.h>

// Puts a copy of the open file `source` as `name` in the open `directory`, with the given
// mode, replacing whatever file or link stands there without following it. The copy is
// written under a temporary name beside it, reaches the disk, and is renamed over it; then the
// directory reaches the disk. So `name` holds either its old or its new bytes at every moment,
// also after a crash, a power cut or a full disk, and once this returns, the new bytes stay.
// False when the copy could not be made; `name` is then unchanged.
bool replaceFile(int source, int directory, const QByteArray &name, mode_t mode);

// The mode bits of Qt's permissions.
mode_t modeOf(QFileDevice::Permissions permissions);

// How the temporary copies that replaceFile() writes beside their target are named: a copy cut
// short by a crash is known by it.
inline QLatin1String replacementCopyPrefix()
{
    return QLatin1String(".vorn-update-");
}

#endif // REPLACEFILE_H
