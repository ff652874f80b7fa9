#ifndef SMALLDISK_H
#define SMALLDISK_H

#include <QByteArray>
#include <QString>

// A small file system over a directory while it lives, so that a test can fill a disk; in a
// private mount namespace only.
class SmallDisk
{
public:
    // size: as mount(8) writes it for tmpfs, "1m" or "200k".
    explicit SmallDisk(const QString &dir, const QByteArray &size = "1m");
    ~SmallDisk();
    SmallDisk(const SmallDisk &) = delete;
    SmallDisk &operator=(const SmallDisk &) = delete;

    bool isMounted() const { return mounted; }

private:
    const QByteArray point;
    const bool mounted;
};

#endif // SMALLDISK_H
