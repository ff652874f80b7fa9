#ifndef BINARYDELTA_H
#define BINARYDELTA_H

#include <QByteArray>
#include <QString>

#include <atomic>

class QIODevice;

// A binary delta turns one file into another: a patch package carries one per changed file.
//
// Format: the magic "VORNDLT1", then three little-endian 64-bit numbers (the new file's size
// and the compressed sizes of the control and diff streams), then three zstd frames: control,
// diff and extra. The control stream is a list of triples of signed 64-bit numbers (bytes
// to add from the diff stream to the old file's bytes, bytes to copy from the extra stream,
// and how far to move in the old file); the new file is built from them in order.
class BinaryDelta
{
public:
    BinaryDelta() = delete;

    static QByteArray magic() { return QByteArrayLiteral("VORNDLT1"); }
    static constexpr int headerSize = 32;
    // Files larger than this travel whole: making a delta takes five times the old file in
    // memory, applying one the old and the new file.
    static constexpr qint64 maximumFileSize = qint64(256) << 20;

    // The size of the file the delta makes, as its header declares it: -1 for a header that
    // is not a delta's.
    static qint64 declaredSize(const QByteArray &header);

    // Writes the file that the delta makes of oldFile to `to`, never more than maximumSize
    // bytes; memory holds the old file and fixed buffers only. sha256, when given, receives
    // the SHA-256 digest of what was written. False, with errorString set, when the delta is
    // damaged or does not fit the old file, or once cancel (checked before every block) is set.
    static bool apply(const QByteArray &oldFile, const QByteArray &delta, QIODevice *to,
                      qint64 maximumSize, QString *errorString, QByteArray *sha256 = nullptr,
                      const std::atomic_bool *cancel = nullptr);
};

#endif // BINARYDELTA_H
