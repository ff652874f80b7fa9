#ifndef PACKAGESINK_H
#define PACKAGESINK_H

#include "backgroundhash.h"

#include <QIODevice>
#include <QPointer>
#include <QString>

class QFileDevice;

// Receives the body of one package download and passes it to the package file, never more
// than the size the update server announced: a body that runs on is cut off there, and the
// write that would pass the limit fails with the given text. The bytes written are hashed on
// the way, in a worker, so the package need not be read again to be checked and receiving never
// waits for hashing.
class PackageSink : public QIODevice
{
    Q_OBJECT

public:
    explicit PackageSink(QObject *parent = nullptr);

    // The bytes are hashed with algorithm; limit < 0: no limit.
    void start(QFileDevice *file, Digest::Algorithm algorithm, qint64 limit,
               const QString &overflowText);
    void finish();
    // The body starts over: what was written is discarded and the limit applies afresh.
    bool restart();
    // The digest of the bytes written since start(); call it once they are all in.
    Digest digest() { return hash.result(); }

    bool isSequential() const override { return true; }

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 size) override;

private:
    QPointer<QFileDevice> target;
    Digest::Algorithm algorithm = Digest::Published;
    qint64 limit = -1;
    qint64 written = 0;
    QString overflow;
    BackgroundHash hash;
};

#endif // PACKAGESINK_H
