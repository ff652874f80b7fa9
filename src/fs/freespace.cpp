#include "freespace.h"

#include <sys/statvfs.h>

qint64 availableBytes(int directory)
{
    struct statvfs space;
    if (::fstatvfs(directory, &space) != 0)
        return -1;
    return qint64(space.f_bavail) * qint64(space.f_frsize);
}
