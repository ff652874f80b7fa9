#include "packagesink.h"

#include <QFileDevice>

PackageSink::PackageSink(QObject *parent)
    : QIODevice(parent)
{ }

void PackageSink::start(QFileDevice *file, Digest::Algorithm algorithm, qint64 limit,
                        const QString &overflowText)
{
    finish();
    target = file;
    this->algorithm = algorithm;
    this->limit = limit;
    written = 0;
    overflow = overflowText;
    hash.reset(algorithm);
    open(QIODevice::WriteOnly | QIODevice::Unbuffered);
}

void PackageSink::finish()
{
    if (isOpen())
        close();
    target = nullptr;
}

bool PackageSink::restart()
{
    written = 0;
    hash.reset(algorithm);
    return target && target->resize(0) && target->seek(0);
}

qint64 PackageSink::readData(char *, qint64)
{
    return -1;
}

qint64 PackageSink::writeData(const char *data, qint64 size)
{
    if (!target)
        return -1;
    qint64 allowed = size;
    if (limit >= 0) {
        allowed = qMin(size, limit - written);
        if (allowed <= 0) {
            setErrorString(overflow);
            return -1;
        }
    }
    const qint64 done = target->write(data, allowed);
    // The file is unbuffered, so a full disk shows here and not only when it is closed.
    if (done < 0) {
        setErrorString(target->errorString());
        return -1;
    }
    hash.add(data, done);
    written += done;
    return done;
}
