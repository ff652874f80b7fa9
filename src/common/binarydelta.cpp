#include "binarydelta.h"

#include "sha256.h"

#include <QIODevice>
#include <QtEndian>

#include <zstd.h>

#include <cstring>
#include <memory>

namespace {

const qsizetype blockSize = 64 * 1024;

// Reads the bytes of one zstd frame held in memory through a buffer of its own: the control
// stream is read 24 bytes at a time, which would cost a decoder call each.
class FrameReader
{
public:
    FrameReader(const char *data, size_t size)
        : stream(ZSTD_createDStream(), &ZSTD_freeDStream)
        , input {data, size, 0}
        , buffer(blockSize, Qt::Uninitialized)
    { }

    // Fills `size` bytes at `out`; false when the frame ends early or is damaged.
    bool read(char *out, size_t size)
    {
        while (size > 0) {
            if (position == filled && !refill())
                return false;
            const size_t count = qMin(size, filled - position);
            memcpy(out, buffer.constData() + position, count);
            position += count;
            out += count;
            size -= count;
        }
        return true;
    }

    // Whether the frame ends here, with nothing left over.
    bool atEnd()
    {
        if (position < filled)
            return false;
        char extra;
        ZSTD_outBuffer output {&extra, 1, 0};
        while (!frameDone) {
            const size_t before = input.pos;
            const size_t result = ZSTD_decompressStream(stream.get(), &output, &input);
            if (ZSTD_isError(result) || output.pos != 0 || (result != 0 && input.pos == before))
                return false;
            frameDone = result == 0;
        }
        return input.pos == input.size;
    }

private:
    bool refill()
    {
        ZSTD_outBuffer output {buffer.data(), size_t(buffer.size()), 0};
        while (output.pos == 0) {
            const size_t before = input.pos;
            const size_t result = ZSTD_decompressStream(stream.get(), &output, &input);
            if (ZSTD_isError(result) || (output.pos == 0 && input.pos == before))
                return false;
            frameDone = result == 0;
        }
        position = 0;
        filled = output.pos;
        return true;
    }

    std::unique_ptr<ZSTD_DStream, size_t (*)(ZSTD_DStream *)> stream;
    ZSTD_inBuffer input;
    QByteArray buffer;
    size_t position = 0;
    size_t filled = 0;
    // The decoder has flushed the frame's last byte.
    bool frameDone = false;
};

bool fail(QString *errorString, const QString &text)
{
    if (errorString)
        *errorString = text;
    return false;
}

} // namespace

qint64 BinaryDelta::declaredSize(const QByteArray &header)
{
    if (header.size() < headerSize || !header.startsWith(magic()))
        return -1;
    return qFromLittleEndian<qint64>(header.constData() + 8);
}

bool BinaryDelta::apply(const QByteArray &oldFile, const QByteArray &delta, QIODevice *to,
                        qint64 maximumSize, QString *errorString, QByteArray *sha256,
                        const std::atomic_bool *cancel)
{
    if (delta.size() < headerSize || !delta.startsWith(magic()))
        return fail(errorString, QStringLiteral("not a delta"));
    const auto number
        = [&delta](int at) { return qFromLittleEndian<qint64>(delta.constData() + at); };
    const qint64 newSize = declaredSize(delta);
    const qint64 controlSize = number(16);
    const qint64 diffSize = number(24);
    const qint64 rest = delta.size() - headerSize;
    if (newSize < 0 || newSize > maximumSize || controlSize < 0 || diffSize < 0
        || controlSize > rest || diffSize > rest - controlSize)
        return fail(errorString, QStringLiteral("damaged header"));
    const char *streams = delta.constData() + headerSize;
    FrameReader control(streams, size_t(controlSize));
    FrameReader diff(streams + controlSize, size_t(diffSize));
    FrameReader extra(streams + controlSize + diffSize, size_t(rest - controlSize - diffSize));

    QByteArray block(blockSize, Qt::Uninitialized);
    Sha256 hash;
    hash.reset();
    const auto cancelled = [cancel] { return cancel && cancel->load(std::memory_order_relaxed); };
    const auto write = [&](qint64 count) {
        if (sha256)
            hash.add(block.constData(), count);
        return to->write(block.constData(), count) == count;
    };
    qint64 written = 0;
    qint64 oldPosition = 0;
    for (qint64 steps = 0; written < newSize; ++steps) {
        char triple[24];
        if (!control.read(triple, sizeof triple))
            return fail(errorString, QStringLiteral("damaged control stream"));
        const qint64 diffLength = qFromLittleEndian<qint64>(triple);
        const qint64 extraLength = qFromLittleEndian<qint64>(triple + 8);
        const qint64 seek = qFromLittleEndian<qint64>(triple + 16);
        // Every step but the first makes bytes: a stream of empty ones would only burn time.
        // Each length is bounded before any sum is taken: the numbers come from the network.
        if (diffLength < 0 || extraLength < 0 || diffLength > newSize - written
            || extraLength > newSize - written - diffLength
            || (diffLength == 0 && extraLength == 0 && steps > 0) || oldPosition < 0
            || diffLength > oldFile.size() - oldPosition)
            return fail(errorString, QStringLiteral("control out of bounds"));

        for (qint64 done = 0; done < diffLength;) {
            if (cancelled())
                return fail(errorString, QStringLiteral("cancelled"));
            const qint64 count = qMin<qint64>(blockSize, diffLength - done);
            if (!diff.read(block.data(), size_t(count)))
                return fail(errorString, QStringLiteral("damaged diff stream"));
            const char *old = oldFile.constData() + oldPosition + done;
            // Through plain pointers, so that the compiler adds whole vectors at a time.
            char *bytes = block.data();
            for (qint64 i = 0; i < count; ++i)
                bytes[i] = char(bytes[i] + old[i]);
            if (!write(count))
                return fail(errorString, to->errorString());
            done += count;
        }
        for (qint64 done = 0; done < extraLength;) {
            if (cancelled())
                return fail(errorString, QStringLiteral("cancelled"));
            const qint64 count = qMin<qint64>(blockSize, extraLength - done);
            if (!extra.read(block.data(), size_t(count)))
                return fail(errorString, QStringLiteral("damaged extra stream"));
            if (!write(count))
                return fail(errorString, to->errorString());
            done += count;
        }
        written += diffLength + extraLength;
        // Checked for overflow before it is added.
        if (seek > oldFile.size() || seek < -oldFile.size())
            return fail(errorString, QStringLiteral("control out of bounds"));
        oldPosition += diffLength + seek;
    }
    if (!control.atEnd() || !diff.atEnd() || !extra.atEnd())
        return fail(errorString, QStringLiteral("trailing data"));
    if (sha256)
        *sha256 = hash.result();
    return true;
}
