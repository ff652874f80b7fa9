#include "binarydelta.h"
#include "deltadiffer.h"

#include <QBuffer>
#include <QRandomGenerator>
#include <QTest>
#include <QtEndian>

#include <zstd.h>

#include <limits>

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

// A delta written by hand, streams as given.
QByteArray delta(qint64 newSize, const QByteArray &control, const QByteArray &diff,
                 const QByteArray &extra)
{
    const QByteArray c = frame(control);
    const QByteArray d = frame(diff);
    QByteArray header = BinaryDelta::magic() + QByteArray(24, '\0');
    qToLittleEndian<qint64>(newSize, header.data() + 8);
    qToLittleEndian<qint64>(c.size(), header.data() + 16);
    qToLittleEndian<qint64>(d.size(), header.data() + 24);
    return header + c + d + frame(extra);
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
};

void TestBinaryDelta::roundTrip_data()
{
    QTest::addColumn<QByteArray>("oldFile");
    QTest::addColumn<QByteArray>("newFile");
    QTest::addColumn<double>("largestShare"); // of the new file's size, at most

    const QByteArray base = randomBytes(200000, 1);
    QByteArray inserted = base;
    inserted.insert(100000, randomBytes(1000, 2));
    QTest::newRow("both empty") << QByteArray() << QByteArray() << 100.0;
    QTest::newRow("from nothing") << QByteArray() << randomBytes(5000, 3) << 1.1;
    QTest::newRow("to nothing") << base << QByteArray() << 100.0;
    QTest::newRow("the same") << base << base << 0.01;
    QTest::newRow("1,000 bytes inserted") << base << inserted << 0.02;
    QTest::newRow("addresses shifted") << code(5000, 0) << code(5000, 64) << 0.05;
    QTest::newRow("unrelated") << base << randomBytes(200000, 4) << 1.1;
}

void TestBinaryDelta::roundTrip()
{
    QFETCH(QByteArray, oldFile);
    QFETCH(QByteArray, newFile);
    QFETCH(double, largestShare);
    const QByteArray made = DeltaDiffer::make(oldFile, newFile);
    QVERIFY(made.size() <= qMax<qsizetype>(200, qsizetype(largestShare * newFile.size())));
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    QString error;
    QVERIFY2(BinaryDelta::apply(oldFile, made, &out, newFile.size(), &error), qPrintable(error));
    QVERIFY(out.data() == newFile);
}

void TestBinaryDelta::damagedDeltaRefused_data()
{
    QTest::addColumn<QByteArray>("delta");
    QTest::addColumn<qint64>("maximumSize");
    QTest::addColumn<QString>("error");

    const QByteArray good = delta(4, triple(2, 2, 0), "\1\1", "xy");
    QTest::newRow("not a delta") << QByteArray("PK\3\4 a zip") << qint64(100) << "not a delta";
    QTest::newRow("cut in the header") << good.left(20) << qint64(100) << "not a delta";
    QTest::newRow("larger than allowed") << good << qint64(3) << "damaged header";
    QByteArray oversized = good;
    qToLittleEndian<qint64>(1 << 30, oversized.data() + 16);
    QTest::newRow("stream sizes beyond the delta") << oversized << qint64(100) << "damaged header";
    QTest::newRow("diff beyond the old file") << delta(6, triple(6, 0, 0), QByteArray(6, '\0'), "")
                                              << qint64(100) << "control out of bounds";
    QTest::newRow("steps past the new size")
        << delta(4, triple(2, 3, 0), "\1\1", "xyz") << qint64(100) << "control out of bounds";
    QTest::newRow("move before the old file")
        << delta(4, triple(2, 0, -5) + triple(2, 0, 0), QByteArray(4, '\0'), "") << qint64(100)
        << "control out of bounds";
    QTest::newRow("empty steps after the first")
        << delta(4, triple(0, 0, 1) + triple(0, 0, 1) + triple(2, 2, 0), "\1\1", "xy")
        << qint64(100) << "control out of bounds";
    QTest::newRow("lengths summing past 64 bits") << delta(
        4, triple(std::numeric_limits<qint64>::max(), std::numeric_limits<qint64>::max(), 0), "",
        "") << qint64(100) << "control out of bounds";
    QTest::newRow("diff stream short")
        << delta(4, triple(2, 2, 0), "\1", "xy") << qint64(100) << "damaged diff stream";
    QTest::newRow("more than the steps need")
        << delta(4, triple(2, 2, 0), "\1\1", "xyz") << qint64(100) << "trailing data";
}

// The old file is "abcd"; nothing is written past what the delta may make.
void TestBinaryDelta::damagedDeltaRefused()
{
    QFETCH(QByteArray, delta);
    QFETCH(qint64, maximumSize);
    QFETCH(QString, error);
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    QString got;
    QVERIFY(!BinaryDelta::apply("abcd", delta, &out, maximumSize, &got));
    QCOMPARE(got, error);
    QVERIFY(out.data().size() <= 4);
}

QTEST_GUILESS_MAIN(TestBinaryDelta)

#include "tst_binarydelta.moc"
