#include <QDir>
#include <QFile>
#include <QImage>
#include <QResource>
#include <QtEndian>
#include <QtTest>

// Outside the test class: the macros declare the bundle's functions at block scope.
static void registerBundle()
{
    Q_INIT_RESOURCE(updater);
}

static void unregisterBundle()
{
    Q_CLEANUP_RESOURCE(updater);
}

class TestBundleContents : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void registersUnderItsName();
    void listing_data();
    void listing();
    void storage_data();
    void storage();
    void iconHeader();
    void iconDecodes();

private:
    static QStringList files(const QString &directory);
};

void TestBundleContents::initTestCase()
{
    registerBundle();
}

QStringList TestBundleContents::files(const QString &directory)
{
    QStringList names = QDir(directory).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    names.sort();
    return names;
}

void TestBundleContents::registersUnderItsName()
{
    const QString icon = QStringLiteral(":/res/icon.png");
    QVERIFY(QFile::exists(icon));
    unregisterBundle();
    QVERIFY(!QFile::exists(icon));
    registerBundle();
    QVERIFY(QFile::exists(icon));
}

void TestBundleContents::listing_data()
{
    QTest::addColumn<QString>("directory");
    QTest::addColumn<QStringList>("entries");

    QTest::newRow("forms and icon")
        << ":/res"
        << QStringList {"Changelog.ui", "Download.ui", "Install.ui", "Summary.ui", "icon.png"};
    QTest::newRow("catalogue") << ":/languages" << QStringList {"vorn_pl_PL.qm"};
}

void TestBundleContents::listing()
{
    QFETCH(QString, directory);
    QFETCH(QStringList, entries);

    QCOMPARE(files(directory), entries);
}

void TestBundleContents::storage_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QResource::Compression>("compression");
    QTest::addColumn<QByteArray>("start");

    const QByteArray xml("<?xml");
    QTest::newRow("offer form") << ":/res/Changelog.ui" << QResource::ZlibCompression << xml;
    QTest::newRow("download form") << ":/res/Download.ui" << QResource::ZlibCompression << xml;
    QTest::newRow("install form") << ":/res/Install.ui" << QResource::ZlibCompression << xml;
    QTest::newRow("summary form") << ":/res/Summary.ui" << QResource::ZlibCompression << xml;
    QTest::newRow("icon, already deflated")
        << ":/res/icon.png" << QResource::NoCompression << QByteArray("\x89PNG\r\n\x1a\n");
    // The magic number that opens every compiled catalogue.
    QTest::newRow("catalogue") << ":/languages/vorn_pl_PL.qm" << QResource::ZlibCompression
                               << QByteArray::fromHex("3cb86418caef9c95cd211cbf60a1bddd");
}

void TestBundleContents::storage()
{
    QFETCH(QString, path);
    QFETCH(QResource::Compression, compression);
    QFETCH(QByteArray, start);

    const QResource resource(path);
    QVERIFY(resource.isValid());
    QCOMPARE(resource.compressionAlgorithm(), compression);
    QVERIFY(resource.uncompressedSize() > 0);

    // Reading through QFile decompresses transparently.
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray content = file.readAll();
    QCOMPARE(content.size(), resource.uncompressedSize());
    QVERIFY(content.startsWith(start));
}

void TestBundleContents::iconHeader()
{
    QFile file(QStringLiteral(":/res/icon.png"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray head = file.read(8 + 8 + 13);
    QCOMPARE(head.size(), 8 + 8 + 13);

    const auto *bytes = reinterpret_cast<const uchar *>(head.constData());
    // IHDR must be the first chunk, 13 bytes long.
    QCOMPARE(qFromBigEndian<quint32>(bytes + 8), quint32(13));
    QCOMPARE(head.mid(12, 4), QByteArray("IHDR"));
    QCOMPARE(qFromBigEndian<quint32>(bytes + 16), quint32(64)); // width
    QCOMPARE(qFromBigEndian<quint32>(bytes + 20), quint32(64)); // height
    QCOMPARE(int(bytes[24]), 8); // bit depth
    QCOMPARE(int(bytes[25]), 6); // colour type: RGBA
    QCOMPARE(int(bytes[26]), 0); // deflate
    QCOMPARE(int(bytes[27]), 0); // adaptive filtering
    QCOMPARE(int(bytes[28]), 0); // not interlaced
}

void TestBundleContents::iconDecodes()
{
    const QImage icon(QStringLiteral(":/res/icon.png"));
    QVERIFY(!icon.isNull());
    QCOMPARE(icon.size(), QSize(64, 64));
    QVERIFY(icon.hasAlphaChannel());
    // Transparent corners around an opaque badge.
    QCOMPARE(qAlpha(icon.pixel(0, 0)), 0);
    QCOMPARE(qAlpha(icon.pixel(32, 32)), 255);
}

QTEST_GUILESS_MAIN(TestBundleContents)
#include "tst_bundlecontents.moc"
