#include "smalldisk.h"

#include <QFile>

#include <sys/mount.h>

SmallDisk::SmallDisk(const QString &dir, const QByteArray &size)
    : point(QFile::encodeName(dir))
    , mounted(::mount("tmpfs", point.constData(), "tmpfs", 0,
                      QByteArray("size=" + size + ",mode=0700").constData())
              == 0)
{ }

SmallDisk::~SmallDisk()
{
    if (mounted)
        ::umount2(point.constData(), MNT_DETACH);
}
