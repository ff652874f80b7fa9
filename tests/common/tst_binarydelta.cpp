#include "binarydelta.h"
#include "deltadiffer.h"

#include <QBuffer>
#include <QFile>
#include <QRandomGenerator>
#include <QTest>
#include <QThreadPool>
#include <QtEndian>

#include <zstd.h>

#include <limits>
#include <memory>

namespace {

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QRandomGenerator generator(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &byte : bytes)
        byte = char(generator.bounded(256));
    return bytes;
}

// Code as a linker lays it out: runs of instructions, each followed by a little-endian address
// into the code, every address moved by the same amount in the next release.
QByteArray code(int runs, quint32 shift)
{
    const QByteArray instructions = randomBytes(runs * 60, 5);
    QByteArray bytes;
    for (int i = 0; i < runs; ++i) {
        bytes += instructions.mid(i * 60, 60);
        char address[4];
        qToLittleEndian<quint32>(quint32(i) * 7919u % 100003u + shift, address);
        bytes.append(address, 4);
    }
    return bytes;
}

// Numbers picked from a vocabulary separated by spaces, as text is made of words.
QByteArray words(int count, quint32 seed)
{
    QRandomGenerator generator(seed);
    QByteArray text;
    for (int i = 0; i < count; ++i)
        text += QByteArray::number(generator.bounded(5000) * 7919 % 100003) + ' ';
    return text;
}

// The text with one word in ten replaced by another.
QByteArray edited(const QByteArray &text)
{
    QRandomGenerator generator(2);
    QByteArray out;
    for (const QByteArray &word : text.split(' '))
        out += (generator.bounded(10) == 0 ? QByteArray::number(generator.bounded(100000)) : word)
            + ' ';
    return out;
}

QByteArray frame(const QByteArray &bytes)
{
    QByteArray out(qsizetype(ZSTD_compressBound(size_t(bytes.size()))), Qt::Uninitialized);
    out.resize(qsizetype(
        ZSTD_compress(out.data(), size_t(out.size()), bytes.constData(), size_t(bytes.size()), 1)));
    return out;
}

QByteArray triple(qint64 diff, qint64 extra, qint64 seek)
{
    QByteArray bytes(24, Qt::Uninitialized);
    qToLittleEndian<qint64>(diff, bytes.data());
    qToLittleEndian<qint64>(extra, bytes.data() + 8);
    qToLittleEndian<qint64>(seek, bytes.data() + 16);
    return bytes;
}

QByteArray numbers(std::initializer_list<qint64> values)
{
    QByteArray bytes;
    for (qint64 value : values) {
        char number[8];
        qToLittleEndian<qint64>(value, number);
        bytes.append(number, 8);
    }
    return bytes;
}

// The old file of the damaged deltas: long enough for zstd to find matches in.
const QByteArray damagedOld = "abcdefghijklmnop";

// A zstd frame of the bytes with that much of damagedOld from offset as its prefix.
QByteArray prefixedFrame(const QByteArray &bytes, qint64 offset, qint64 length,
                         bool declaresSize = true)
{
    const QByteArray &old = damagedOld;
    std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx *)> context(ZSTD_createCCtx(), &ZSTD_freeCCtx);
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_contentSizeFlag, declaresSize ? 1 : 0);
    ZSTD_CCtx_refPrefix(context.get(), old.constData() + offset, size_t(length));
    QByteArray out(qsizetype(ZSTD_compressBound(size_t(bytes.size()))), Qt::Uninitialized);
    out.resize(qsizetype(ZSTD_compress2(context.get(), out.data(), size_t(out.size()),
                                        bytes.constData(), size_t(bytes.size()))));
    return out;
}

// A window of a zstd delta: its header and its frame.
QByteArray window(qint64 offset, qint64 length, qint64 makes, const QByteArray &frame)
{
    return numbers({offset, length, makes, frame.size()}) + frame;
}

QByteArray zstdDelta(qint64 newSize, const QByteArray &windows)
{
    return BinaryDelta::header(DeltaMethod::ZstdPatch, newSize) + windows;
}

// Windows as window() makes them, each with a delta in place of the frame.
QByteArray windowDeltas(qint64 newSize, const QByteArray &windows)
{
    return BinaryDelta::header(DeltaMethod::WindowDeltas, newSize) + windows;
}

// A delta written by hand, streams as given.
QByteArray delta(qint64 newSize, const QByteArray &control, const QByteArray &diff,
                 const QByteArray &extra)
{
    const QByteArray c = frame(control);
    const QByteArray d = frame(diff);
    QByteArray header
        = BinaryDelta::header(DeltaMethod::SuffixArray, newSize) + QByteArray(16, '\0');
    qToLittleEndian<qint64>(c.size(), header.data() + 16);
    qToLittleEndian<qint64>(d.size(), header.data() + 24);
    return header + c + d + frame(extra);
}

// Whether each stream of a suffix-array delta decodes with a decoder that refuses windows over
// 128 KiB, the most its buffer then holds.
bool streamWindowsAreSmall(const QByteArray &delta)
{
    const qint64 sizes[] = {qFromLittleEndian<qint64>(delta.constData() + 16),
                            qFromLittleEndian<qint64>(delta.constData() + 24)};
    const std::unique_ptr<ZSTD_DCtx, size_t (*)(ZSTD_DCtx *)> decoder(ZSTD_createDCtx(),
                                                                      &ZSTD_freeDCtx);
    ZSTD_DCtx_setParameter(decoder.get(), ZSTD_d_windowLogMax, 17);
    QByteArray block(64 * 1024, Qt::Uninitialized);
    qint64 at = BinaryDelta::headerSize;
    for (int stream = 0; stream < 3; ++stream) {
        const qint64 size = stream < 2 ? sizes[stream] : delta.size() - at;
        ZSTD_DCtx_reset(decoder.get(), ZSTD_reset_session_only);
        ZSTD_inBuffer input {delta.constData() + at, size_t(size), 0};
        for (size_t left = 1; left != 0;) {
            ZSTD_outBuffer output {block.data(), size_t(block.size()), 0};
            const size_t before = input.pos;
            left = ZSTD_decompressStream(decoder.get(), &output, &input);
            if (ZSTD_isError(left) || (left != 0 && output.pos == 0 && input.pos == before))
                return false;
        }
        at += size;
    }
    return true;
}

} // namespace

class TestBinaryDelta : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void damagedDeltaRefused_data();
    void damagedDeltaRefused();
    void windowDeltasApply();
    void refusedWriteIsStorage();
};

void TestBinaryDelta::roundTrip_data()
{
    QTest::addColumn<QByteArray>("oldFile");
    QTest::addColumn<QByteArray>("newFile");
    QTest::addColumn<double>("largestShare"); // of the new file's size, at most
    QTest::addColumn<qint64>("windowSize");
    QTest::addColumn<int>("method"); // of the smaller delta, the one kept

    const qint64 whole = BinaryDelta::maximumWindowSize;
    const qint64 small = 64 * 1024;
    const QByteArray base = randomBytes(200000, 1);
    QByteArray inserted = base;
    inserted.insert(100000, randomBytes(1000, 2));
    const QByteArray text = words(40000, 1);
    QTest::newRow("both empty") << QByteArray() << QByteArray() << 100.0 << whole << 2;
    QTest::newRow("from nothing") << QByteArray() << randomBytes(5000, 3) << 1.1 << whole << 2;
    QTest::newRow("to nothing") << base << QByteArray() << 100.0 << whole << 2;
    QTest::newRow("the same") << base << base << 0.01 << whole << 1;
    QTest::newRow("1,000 bytes inserted") << base << inserted << 0.02 << whole << 1;
    QTest::newRow("addresses shifted") << code(5000, 0) << code(5000, 64) << 0.05 << whole << 1;
    QTest::newRow("unrelated") << base << randomBytes(200000, 4) << 1.1 << whole << 2;
    QTest::newRow("words replaced") << text << edited(text) << 0.07 << whole << 2;
    QTest::newRow("text appended") << text << text + words(40000, 4) << 0.2 << whole << 2;
    // A file of several windows is made with zstd alone.
    QTest::newRow("windows, addresses shifted")
        << code(5000, 0) << code(5000, 64) << 0.05 << small << 2;
    QTest::newRow("windows, text appended") << text << text + words(40000, 4) << 0.2 << small << 2;
    QTest::newRow("windows, unrelated") << base << randomBytes(200000, 4) << 1.1 << small << 2;
    QTest::newRow("windows, halves swapped")
        << base + inserted << inserted + base << 0.02 << small << 2;
    // Each window's halves lie a window apart in the old file: only a range of two holds both.
    const QByteArray spread = randomBytes(400000, 5);
    QByteArray apart;
    for (qint64 at = 0; at < 5 * small; at += small)
        apart += spread.mid(at, small / 2) + spread.mid(at + 3 * small / 2, small / 2);
    QTest::newRow("windows, halves a window apart") << spread << apart << 0.05 << small << 2;
}

void TestBinaryDelta::roundTrip()
{
    QFETCH(QByteArray, oldFile);
    QFETCH(QByteArray, newFile);
    QFETCH(double, largestShare);
    QFETCH(qint64, windowSize);
    QFETCH(int, method);
    QThreadPool one;
    one.setMaxThreadCount(1);
    QThreadPool three;
    three.setMaxThreadCount(3);
    QByteArray made;
    for (QThreadPool *pool : {&one, &three}) {
        DeltaDiffer differ(pool, windowSize);
        const int index = differ.add(oldFile, newFile);
        pool->waitForDone();
        // The same bytes whatever the number of threads.
        QVERIFY(made.isEmpty() || differ.delta(index) == made);
        made = differ.delta(index);
    }
    QCOMPARE(made.at(7), method == 1 ? '1' : '2');
    if (method != 1)
        QCOMPARE(qFromLittleEndian<qint64>(made.constData() + 16), qint64(method));
    else
        QVERIFY(streamWindowsAreSmall(made));
    QVERIFY(made.size() <= qMax<qsizetype>(200, qsizetype(largestShare * newFile.size())));
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    const Failure failure = BinaryDelta::apply(oldFile, made, &out, newFile.size());
    QVERIFY2(!failure, qPrintable(failure.text()));
    QVERIFY(out.data() == newFile);
}

void TestBinaryDelta::damagedDeltaRefused_data()
{
    QTest::addColumn<QByteArray>("delta");
    QTest::addColumn<qint64>("maximumSize");
    QTest::addColumn<bool>("cancelled");
    QTest::addColumn<QString>("error");

    const QByteArray good = delta(4, triple(2, 2, 0), "\1\1", "xy");
    QTest::newRow("not a delta") << QByteArray("PK\3\4 a zip") << qint64(100) << false
                                 << "not a delta";
    QTest::newRow("cut in the header") << good.left(20) << qint64(100) << false << "not a delta";
    QByteArray later = good;
    later[7] = '3';
    QTest::newRow("a later version") << later << qint64(100) << false << "unknown delta version";
    QTest::newRow("larger than allowed") << good << qint64(3) << false << "damaged header";
    QByteArray oversized = good;
    qToLittleEndian<qint64>(1 << 30, oversized.data() + 16);
    QTest::newRow("stream sizes beyond the delta")
        << oversized << qint64(100) << false << "damaged header";
    QTest::newRow("diff beyond the old file")
        << delta(20, triple(20, 0, 0), QByteArray(20, '\0'), "") << qint64(100) << false
        << "control out of bounds";
    QTest::newRow("steps past the new size") << delta(4, triple(2, 3, 0), "\1\1", "xyz")
                                             << qint64(100) << false << "control out of bounds";
    QTest::newRow("move before the old file")
        << delta(4, triple(2, 0, -5) + triple(2, 0, 0), QByteArray(4, '\0'), "") << qint64(100)
        << false << "control out of bounds";
    QTest::newRow("empty steps after the first")
        << delta(4, triple(0, 0, 1) + triple(0, 0, 1) + triple(2, 2, 0), "\1\1", "xy")
        << qint64(100) << false << "control out of bounds";
    QTest::newRow("lengths summing past 64 bits") << delta(
        4, triple(std::numeric_limits<qint64>::max(), std::numeric_limits<qint64>::max(), 0), "",
        "") << qint64(100) << false << "control out of bounds";
    QTest::newRow("diff stream short")
        << delta(4, triple(2, 2, 0), "\1", "xy") << qint64(100) << false << "damaged diff stream";
    QTest::newRow("more than the steps need")
        << delta(4, triple(2, 2, 0), "\1\1", "xyz") << qint64(100) << false << "trailing data";
    QTest::newRow("cancelled") << good << qint64(100) << true << "cancelled";

    // zstd windows: the old file's first two bytes as the prefix of "abxy".
    const QByteArray frame = prefixedFrame("abxy", 0, 2);
    const QByteArray zstdGood = zstdDelta(4, window(0, 2, 4, frame));
    QByteArray unknown = zstdGood;
    unknown[16] = 7;
    QTest::newRow("an unknown method") << unknown << qint64(100) << false << "unknown delta method";
    QTest::newRow("window cut in its header")
        << zstdGood.left(BinaryDelta::headerSize + 20) << qint64(100) << false << "damaged window";
    QTest::newRow("range beyond the old file")
        << zstdDelta(4, window(15, 2, 4, frame)) << qint64(100) << false << "window out of bounds";
    QTest::newRow("window that makes nothing")
        << zstdDelta(4, window(0, 2, 0, prefixedFrame("", 0, 2)) + window(0, 2, 4, frame))
        << qint64(100) << false << "window out of bounds";
    QTest::newRow("window past the new size")
        << zstdDelta(3, window(0, 2, 4, frame)) << qint64(100) << false << "window out of bounds";
    const qint64 tooLarge = BinaryDelta::maximumWindowSize + 1;
    QTest::newRow("window larger than allowed") << zstdDelta(
        tooLarge, window(0, 2, tooLarge, prefixedFrame(QByteArray(tooLarge, 'a'), 0, 2)))
                                                << tooLarge << false << "window out of bounds";
    QTest::newRow("frame beyond the delta") << zstdDelta(4, window(0, 2, 4, frame)).chopped(1)
                                            << qint64(100) << false << "window out of bounds";
    QTest::newRow("frame that declares another length")
        << zstdDelta(4, window(0, 2, 4, prefixedFrame("abx", 0, 2))) << qint64(100) << false
        << "damaged window";
    QTest::newRow("frame that declares no length")
        << zstdDelta(4, window(0, 2, 4, prefixedFrame("abxy", 0, 2, false))) << qint64(100) << false
        << "damaged window";
    QTest::newRow("frame cut short") << zstdDelta(4, window(0, 2, 4, frame.chopped(3)))
                                     << qint64(100) << false << "damaged window";
    QTest::newRow("match before the range")
        << zstdDelta(64, window(8, 8, 64, prefixedFrame(damagedOld.repeated(4), 0, 16)))
        << qint64(100) << false << "damaged window";
    QTest::newRow("two frames in one window")
        << zstdDelta(4, window(0, 2, 4, frame + prefixedFrame("", 0, 2))) << qint64(100) << false
        << "damaged window";
    QTest::newRow("bytes after the last window")
        << zstdGood + "x" << qint64(100) << false << "trailing data";
    QTest::newRow("cancelled, zstd") << zstdGood << qint64(100) << true << "cancelled";

    // Window deltas: each window's delta turns its range alone into the window.
    QTest::newRow("window deltas, window's delta beyond its range")
        << windowDeltas(4, window(0, 1, 4, zstdGood)) << qint64(100) << false
        << "window out of bounds";
    QTest::newRow("window deltas, window's delta of another length")
        << windowDeltas(4,
                        window(0, 2, 4, zstdDelta(3, window(0, 2, 3, prefixedFrame("abx", 0, 2)))))
        << qint64(100) << false << "damaged window";
    QTest::newRow("window deltas nested")
        << windowDeltas(4, window(0, 2, 4, windowDeltas(4, window(0, 2, 4, zstdGood))))
        << qint64(100) << false << "damaged window";
    QTest::newRow("window deltas, bytes after the last window")
        << windowDeltas(4, window(0, 2, 4, zstdGood)) + "x" << qint64(100) << false
        << "trailing data";
}

// Nothing is written past what the delta may make.
void TestBinaryDelta::damagedDeltaRefused()
{
    QFETCH(QByteArray, delta);
    QFETCH(qint64, maximumSize);
    QFETCH(bool, cancelled);
    QFETCH(QString, error);
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    const std::atomic_bool cancel = cancelled;
    const Failure failure
        = BinaryDelta::apply(damagedOld, delta, &out, maximumSize, nullptr, &cancel);
    QCOMPARE(failure.kind(), cancelled ? Failure::Cancelled : Failure::Package);
    QCOMPARE(failure.text(), error);
    QVERIFY(out.data().size() <= 4);
}

// Window deltas, which earlier builders wrote, still apply: each window's delta, of zstd or of the
// suffix array, turns its range alone into the window.
void TestBinaryDelta::windowDeltasApply()
{
    const QByteArray zstdWindow = zstdDelta(4, window(0, 2, 4, prefixedFrame("abxy", 0, 2)));
    const QByteArray suffixArrayWindow = delta(4, triple(4, 0, 0), QByteArray(4, '\1'), "");
    const QByteArray made
        = windowDeltas(8, window(0, 2, 4, zstdWindow) + window(6, 4, 4, suffixArrayWindow));
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    const Failure failure = BinaryDelta::apply(damagedOld, made, &out, 8);
    QVERIFY2(!failure, qPrintable(failure.text()));
    QCOMPARE(out.data(), QByteArray("abxyhijk"));
}

// A full disk is told apart from a damaged delta: its text is the device's.
void TestBinaryDelta::refusedWriteIsStorage()
{
    QFile full(QStringLiteral("/dev/full"));
    QVERIFY(full.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    const QByteArray made = DeltaDiffer::make(damagedOld, damagedOld.repeated(3));
    const Failure failure = BinaryDelta::apply(damagedOld, made, &full, 100);
    QCOMPARE(failure.kind(), Failure::Storage);
    QCOMPARE(failure.text(), full.errorString());
}

QTEST_GUILESS_MAIN(TestBinaryDelta)

#include "tst_binarydelta.moc"
