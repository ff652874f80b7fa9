#ifndef FREESPACE_H
#define FREESPACE_H

#include <QString>

// Room on the file system that holds an open directory, as this user may fill it; -1 when
// the file system cannot tell.
qint64 availableBytes(int directory);

// Whole megabytes for a text about room: the room is rounded down and a need up, so that the
// room never looks larger, nor the need smaller, than it is.
inline QString megabytesOfRoom(qint64 bytes)
{
    return QString::number(bytes / 1000000);
}

inline QString megabytesNeeded(qint64 bytes)
{
    return QString::number((bytes + 999999) / 1000000);
}

#endif // FREESPACE_H
