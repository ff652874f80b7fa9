#include <QDirIterator>
#include <QFile>
#include <QImage>
#include <QTranslator>
#include <QUiLoader>
#include <QWidget>
#include <QtTest>

#include <memory>

namespace {

// The bundle's entries whose names end with suffix; the toolkit's own resources are not ours.
QStringList bundleEntries(const QString &suffix)
{
    QStringList found;
    QDirIterator entries(QStringLiteral(":/"), QDir::Files, QDirIterator::Subdirectories);
    while (entries.hasNext()) {
        const QString path = entries.next();
        if (path.endsWith(suffix) && !path.startsWith(QLatin1String(":/qt-project.org/")))
            found << path;
    }
    found.sort();
    return found;
}

void addEntryRows(const QString &suffix)
{
    QTest::addColumn<QString>("path");
    for (const QString &path : bundleEntries(suffix))
        QTest::newRow(qPrintable(path)) << path;
}

} // namespace

// The bundle loads as the updater reads it: forms, images and catalogues alike.
class TestBundleContents : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void formBuilds_data();
    void formBuilds();
    void imageLoads_data();
    void imageLoads();
    void catalogueTranslates_data();
    void catalogueTranslates();
};

void TestBundleContents::initTestCase()
{
    Q_INIT_RESOURCE(updater);
    for (const char *suffix : {".ui", ".png", ".qm"})
        QVERIFY2(!bundleEntries(QLatin1String(suffix)).isEmpty(), suffix);
}

void TestBundleContents::formBuilds_data()
{
    addEntryRows(QStringLiteral(".ui"));
}

void TestBundleContents::formBuilds()
{
    QFETCH(QString, path);

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QUiLoader loader;
    const std::unique_ptr<QWidget> window(loader.load(&file));
    QVERIFY2(window, qPrintable(loader.errorString()));
    QVERIFY(window->isWindow());
    QVERIFY(!window->findChildren<QWidget *>().isEmpty());
}

void TestBundleContents::imageLoads_data()
{
    addEntryRows(QStringLiteral(".png"));
}

void TestBundleContents::imageLoads()
{
    QFETCH(QString, path);

    const QImage image(path);
    QVERIFY(!image.isNull());
}

void TestBundleContents::catalogueTranslates_data()
{
    addEntryRows(QStringLiteral(".qm"));
}

void TestBundleContents::catalogueTranslates()
{
    QFETCH(QString, path);

    QTranslator translator;
    QVERIFY(translator.load(path));
    // The title of every message box.
    QVERIFY(!translator.translate("translation", "Update", "program update").isEmpty());
}

QTEST_MAIN(TestBundleContents)
#include "tst_bundlecontents.moc"
