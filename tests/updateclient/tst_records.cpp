#include "util.h"

#include <QtTest>

#include <limits>

class TestRecords : public QObject
{
    Q_OBJECT

private slots:
    void componentIdentifier_data();
    void componentIdentifier();
    void stringToUINT_data();
    void stringToUINT();
    void stringToUINTNullText();
};

void TestRecords::componentIdentifier_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<QString>("c");
    QTest::addColumn<QString>("id");
    QTest::newRow("plain") << "im"
                           << "core"
                           << "app"
                           << "imcoreapp";
    QTest::newRow("boundary after b") << "ab"
                                      << "c"
                                      << "d"
                                      << "abcd";
    QTest::newRow("boundary after a") << "a"
                                      << "bc"
                                      << "d"
                                      << "abcd";
    QTest::newRow("all empty") << ""
                               << ""
                               << ""
                               << "";
}

void TestRecords::componentIdentifier()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(QString, c);
    QFETCH(QString, id);
    QCOMPARE(QString::fromStdString(
                 Util::generateComponentID(a.toStdString(), b.toStdString(), c.toStdString())),
             id);
}

void TestRecords::stringToUINT_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<uint>("value");
    const uint untouched = 4242;
    QTest::newRow("hexadecimal") << QByteArray("0x1F") << true << 31u;
    QTest::newRow("upper-case hex prefix") << QByteArray("0XfF") << true << 255u;
    QTest::newRow("octal") << QByteArray("017") << true << 15u;
    QTest::newRow("decimal") << QByteArray("12") << true << 12u;
    QTest::newRow("leading blanks") << QByteArray("  7") << true << 7u;
    QTest::newRow("trailing junk") << QByteArray("12abc") << false << untouched;
    QTest::newRow("trailing blank") << QByteArray("12 ") << false << untouched;
    QTest::newRow("empty text") << QByteArray("") << true << 0u;
    QTest::newRow("two to the 32") << QByteArray("4294967296") << true << 0u;
    QTest::newRow("largest 32-bit")
        << QByteArray("4294967295") << true << std::numeric_limits<uint>::max();
    QTest::newRow("minus one") << QByteArray("-1") << true << std::numeric_limits<uint>::max();
}

void TestRecords::stringToUINT()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, ok);
    QFETCH(uint, value);
    unsigned int out = 4242;
    QCOMPARE(Util::stringToUINT(text.constData(), &out), ok);
    QCOMPARE(out, value);
}

void TestRecords::stringToUINTNullText()
{
    unsigned int out = 7;
    QVERIFY(!Util::stringToUINT(nullptr, &out));
    QCOMPARE(out, 7u);
}

QTEST_APPLESS_MAIN(TestRecords)
#include "tst_records.moc"
