#include "binarydelta.h"

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

Failure damaged(const char *text)
{
    return Failure(Failure::Package, QString::fromLatin1(text));
}

Failure cancelled()
{
    return Failure(Failure::Cancelled, QStringLiteral("cancelled"));
}

qint64 numberAt(const QByteArray &bytes, qint64 at)
{
    return qFromLittleEndian<qint64>(bytes.constData() + at);
}

// Where the bytes of the new file go: the device and, when wanted, the hash.
class Output
{
public:
    Output(QIODevice *to, Digest::Hash *hash, const std::atomic_bool *cancel)
        : to(to)
        , hash(hash)
        , cancel(cancel)
    { }

    bool cancelled() const { return cancel && cancel->load(std::memory_order_relaxed); }
    bool write(const char *bytes, qint64 count)
    {
        if (hash)
            hash->add(bytes, count);
        return to->write(bytes, count) == count;
    }
    Failure writeFailure() const { return Failure(Failure::Storage, to->errorString()); }

private:
    QIODevice *to;
    Digest::Hash *hash;
    const std::atomic_bool *cancel;
};

Failure applySuffixArray(const QByteArray &oldFile, const QByteArray &delta, qint64 newSize,
                         Output *out)
{
    const qint64 controlSize = numberAt(delta, 16);
    const qint64 diffSize = numberAt(delta, 24);
    const qint64 rest = delta.size() - BinaryDelta::headerSize;
    if (controlSize < 0 || diffSize < 0 || controlSize > rest || diffSize > rest - controlSize)
        return damaged("damaged header");
    const char *streams = delta.constData() + BinaryDelta::headerSize;
    FrameReader control(streams, size_t(controlSize));
    FrameReader diff(streams + controlSize, size_t(diffSize));
    FrameReader extra(streams + controlSize + diffSize, size_t(rest - controlSize - diffSize));

    QByteArray block(blockSize, Qt::Uninitialized);
    qint64 written = 0;
    qint64 oldPosition = 0;
    for (qint64 steps = 0; written < newSize; ++steps) {
        char triple[24];
        if (!control.read(triple, sizeof triple))
            return damaged("damaged control stream");
        const qint64 diffLength = qFromLittleEndian<qint64>(triple);
        const qint64 extraLength = qFromLittleEndian<qint64>(triple + 8);
        const qint64 seek = qFromLittleEndian<qint64>(triple + 16);
        // Every step but the first makes bytes: a stream of empty ones would only burn time.
        // Each length is bounded before any sum is taken: the numbers come from the network.
        if (diffLength < 0 || extraLength < 0 || diffLength > newSize - written
            || extraLength > newSize - written - diffLength
            || (diffLength == 0 && extraLength == 0 && steps > 0) || oldPosition < 0
            || diffLength > oldFile.size() - oldPosition)
            return damaged("control out of bounds");

        for (qint64 done = 0; done < diffLength;) {
            if (out->cancelled())
                return cancelled();
            const qint64 count = qMin<qint64>(blockSize, diffLength - done);
            if (!diff.read(block.data(), size_t(count)))
                return damaged("damaged diff stream");
            const char *old = oldFile.constData() + oldPosition + done;
            // Through plain pointers, so that the compiler adds whole vectors at a time.
            char *bytes = block.data();
            for (qint64 i = 0; i < count; ++i)
                bytes[i] = char(bytes[i] + old[i]);
            if (!out->write(block.constData(), count))
                return out->writeFailure();
            done += count;
        }
        for (qint64 done = 0; done < extraLength;) {
            if (out->cancelled())
                return cancelled();
            const qint64 count = qMin<qint64>(blockSize, extraLength - done);
            if (!extra.read(block.data(), size_t(count)))
                return damaged("damaged extra stream");
            if (!out->write(block.constData(), count))
                return out->writeFailure();
            done += count;
        }
        written += diffLength + extraLength;
        // Checked for overflow before it is added.
        if (seek > oldFile.size() || seek < -oldFile.size())
            return damaged("control out of bounds");
        oldPosition += diffLength + seek;
    }
    if (!control.atEnd() || !diff.atEnd() || !extra.atEnd())
        return damaged("trailing data");
    return Failure();
}

struct WindowHeader
{
    qint64 offset;
    qint64 length;
    qint64 makes;
    qint64 size;
};

// The header of the window at `at`, which moves past it: its range must lie in the old file, the
// bytes it makes in what is left of the new one, and its data of at least minimumSize bytes in
// the delta.
Failure readWindow(const QByteArray &oldFile, const QByteArray &delta, qint64 *at, qint64 left,
                   qint64 minimumSize, WindowHeader *window)
{
    if (delta.size() - *at < BinaryDelta::windowHeaderSize)
        return damaged("damaged window");
    *window = {numberAt(delta, *at), numberAt(delta, *at + 8), numberAt(delta, *at + 16),
               numberAt(delta, *at + 24)};
    *at += BinaryDelta::windowHeaderSize;
    if (window->offset < 0 || window->length < 0 || window->offset > oldFile.size()
        || window->length > oldFile.size() - window->offset || window->makes <= 0
        || window->makes > BinaryDelta::maximumWindowSize || window->makes > left
        || window->size < minimumSize || window->size > delta.size() - *at)
        return damaged("window out of bounds");
    return Failure();
}

// Each window's frame is decompressed a block at a time into a fixed buffer: the decoder keeps
// no more of the new file than the length the frame declares, which is bounded.
Failure applyZstdPatch(const QByteArray &oldFile, const QByteArray &delta, qint64 newSize,
                       Output *out)
{
    std::unique_ptr<ZSTD_DCtx, size_t (*)(ZSTD_DCtx *)> decoder(ZSTD_createDCtx(), &ZSTD_freeDCtx);
    QByteArray block(blockSize, Qt::Uninitialized);
    qint64 at = BinaryDelta::headerSize;
    qint64 written = 0;
    while (written < newSize) {
        WindowHeader window;
        if (const Failure failure = readWindow(oldFile, delta, &at, newSize - written, 1, &window))
            return failure;
        const qint64 makes = window.makes;
        const qint64 frameSize = window.size;
        const char *frame = delta.constData() + at;
        if (ZSTD_getFrameContentSize(frame, size_t(frameSize)) != quint64(makes))
            return damaged("damaged window");

        ZSTD_DCtx_reset(decoder.get(), ZSTD_reset_session_only);
        if (ZSTD_isError(ZSTD_DCtx_refPrefix(decoder.get(), oldFile.constData() + window.offset,
                                             size_t(window.length))))
            return damaged("damaged window");
        ZSTD_inBuffer input {frame, size_t(frameSize), 0};
        qint64 made = 0;
        for (size_t result = 1; result != 0;) {
            if (out->cancelled())
                return cancelled();
            ZSTD_outBuffer output {block.data(), size_t(block.size()), 0};
            const size_t before = input.pos;
            result = ZSTD_decompressStream(decoder.get(), &output, &input);
            if (ZSTD_isError(result) || qint64(output.pos) > makes - made
                || (result != 0 && output.pos == 0 && input.pos == before))
                return damaged("damaged window");
            if (!out->write(block.constData(), qint64(output.pos)))
                return out->writeFailure();
            made += qint64(output.pos);
        }
        if (made != makes || input.pos != input.size)
            return damaged("damaged window");
        at += frameSize;
        written += makes;
    }
    if (at != delta.size())
        return damaged("trailing data");
    return Failure();
}

Failure applyWindowDeltas(const QByteArray &oldFile, const QByteArray &delta, qint64 newSize,
                          Output *out);

using Applier
    = Failure (*)(const QByteArray &oldFile, const QByteArray &delta, qint64 newSize, Output *out);

const struct
{
    DeltaMethod method;
    Applier apply;
} appliers[] = {
    {DeltaMethod::SuffixArray, applySuffixArray},
    {DeltaMethod::ZstdPatch, applyZstdPatch},
    {DeltaMethod::WindowDeltas, applyWindowDeltas},
};

// Version 1 names its method by itself; version 2 stores the method's number and a zero. The
// delta holds at least a header.
Applier applierFor(const QByteArray &delta)
{
    qint64 method = qint64(DeltaMethod::SuffixArray);
    if (delta.at(7) == '2')
        method = numberAt(delta, 24) == 0 ? numberAt(delta, 16) : 0;
    for (const auto &applier : appliers) {
        if (qint64(applier.method) == method)
            return applier.apply;
    }
    return nullptr;
}

// Each window's delta is applied to its range alone, and makes exactly the window's bytes.
Failure applyWindowDeltas(const QByteArray &oldFile, const QByteArray &delta, qint64 newSize,
                          Output *out)
{
    qint64 at = BinaryDelta::headerSize;
    qint64 written = 0;
    while (written < newSize) {
        WindowHeader window;
        if (const Failure failure
            = readWindow(oldFile, delta, &at, newSize - written, BinaryDelta::headerSize, &window))
            return failure;
        const QByteArray inner
            = QByteArray::fromRawData(delta.constData() + at, qsizetype(window.size));
        if (BinaryDelta::declaredSize(inner) != window.makes)
            return damaged("damaged window");
        // Nested once at most: a window's delta of this method would let a delta nest deeper.
        const Applier apply = applierFor(inner);
        if (!apply || apply == applyWindowDeltas)
            return damaged("damaged window");
        const Failure failure = apply(
            QByteArray::fromRawData(oldFile.constData() + window.offset, qsizetype(window.length)),
            inner, window.makes, out);
        if (failure)
            return failure;
        at += window.size;
        written += window.makes;
    }
    if (at != delta.size())
        return damaged("trailing data");
    return Failure();
}

} // namespace

QByteArray BinaryDelta::header(DeltaMethod method, qint64 newSize)
{
    const bool first = method == DeltaMethod::SuffixArray;
    QByteArray bytes(first ? 16 : headerSize, '\0');
    memcpy(bytes.data(), first ? "VORNDLT1" : "VORNDLT2", 8);
    qToLittleEndian<qint64>(newSize, bytes.data() + 8);
    if (!first)
        qToLittleEndian<qint64>(qint64(method), bytes.data() + 16);
    return bytes;
}

qint64 BinaryDelta::declaredSize(const QByteArray &header)
{
    if (header.size() < headerSize
        || !(header.startsWith("VORNDLT1") || header.startsWith("VORNDLT2")))
        return -1;
    return qFromLittleEndian<qint64>(header.constData() + 8);
}

Failure BinaryDelta::apply(const QByteArray &oldFile, const QByteArray &delta, QIODevice *to,
                           qint64 maximumSize, Digest::Hash *hash, const std::atomic_bool *cancel)
{
    if (delta.size() < headerSize || !delta.startsWith("VORNDLT"))
        return damaged("not a delta");
    const char version = delta.at(7);
    if (version != '1' && version != '2')
        return damaged("unknown delta version");
    const qint64 newSize = numberAt(delta, 8);
    if (newSize < 0 || newSize > maximumSize)
        return damaged("damaged header");
    const Applier apply = applierFor(delta);
    if (!apply)
        return damaged("unknown delta method");
    Output out(to, hash, cancel);
    return apply(oldFile, delta, newSize, &out);
}
