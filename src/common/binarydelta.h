#ifndef BINARYDELTA_H
#define BINARYDELTA_H

#include "digest.h"
#include "failure.h"

#include <QByteArray>

#include <atomic>

class QIODevice;

// The methods a delta is made with, numbered as its header stores them.
enum class DeltaMethod : qint64 {
    SuffixArray = 1,
    ZstdPatch = 2,
    WindowDeltas = 3,
};

// A binary delta turns one file into another: a patch package carries one per changed file.
//
// Every delta starts with a header of 32 bytes: the magic "VORNDLT" and the format version as
// one ASCII digit, then the new file's size as a little-endian signed 64-bit number; the rest
// depends on the version. All numbers below are little-endian signed 64-bit.
//
// Version 1, the suffix-array delta (method 1): the compressed sizes of the control and diff
// streams, then three zstd frames: control, diff and extra. The control stream is a list of
// triples (bytes to add from the diff stream to the old file's bytes, bytes to copy from the
// extra stream, and how far to move in the old file); the new file is built from them in order.
//
// Version 2: the method, then a zero. Method 2, zstd patch-from: windows that make the new file
// in order, each a header of four numbers (the offset and length of the range of the old file
// it refers to, the length it makes, and the size of its frame) and one zstd frame that
// declares the length it makes and is decompressed with that range as its prefix. A window
// makes at least one byte and at most maximumWindowSize.
//
// Method 3, window deltas: windows as in method 2, each header followed by a delta of method 1
// or 2 (never 3) of that frame size, which turns the range into the window's bytes; it declares
// the length the window makes. Earlier builders wrote it where the windows of a large file took
// different methods; packages that carry it still install.
class BinaryDelta
{
public:
    BinaryDelta() = delete;

    // The header as far as it does not depend on the method's data: version 1 for the
    // suffix-array delta (which updaters that know only version 1 apply too), with its two
    // stream sizes still to follow; version 2 and the method for the others.
    static QByteArray header(DeltaMethod method, qint64 newSize);
    static constexpr int headerSize = 32;
    static constexpr int windowHeaderSize = 32;
    // Files larger than this travel whole: the builder holds both files and a few windows'
    // work in memory, the updater maps the old file and reads the delta whole.
    static constexpr qint64 maximumFileSize = qint64(512) << 20;
    static constexpr qint64 maximumWindowSize = qint64(8) << 20;

    // The size of the file the delta makes, as its header declares it: -1 for a header that
    // is not a delta's.
    static qint64 declaredSize(const QByteArray &header);

    // Writes the file that the delta makes of oldFile to `to`, never more than maximumSize
    // bytes; memory holds the old file, fixed buffers and at most one window. hash, when given,
    // is handed every byte written, after the caller's reset. A failure when the delta is
    // damaged or does not fit the old file, when `to` refuses a write, or once cancel
    // (checked before every block) is set.
    static Failure apply(const QByteArray &oldFile, const QByteArray &delta, QIODevice *to,
                         qint64 maximumSize, Digest::Hash *hash = nullptr,
                         const std::atomic_bool *cancel = nullptr);
};

#endif // BINARYDELTA_H
