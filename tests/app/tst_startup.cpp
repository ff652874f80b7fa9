#include "messageboxanswerer.h"
#include "startup.h"
#include "testfiles.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <stdexcept>

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void quietMode_data();
    void quietMode();
    void symlinkGuard_data();
    void symlinkGuard();
    void exceptionGuard_data();
    void exceptionGuard();
};

void TestStartup::quietMode_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("quiet");
    QTest::newRow("-q") << QStringList {"-q"} << true;
    QTest::newRow("x -q") << QStringList {"x", "-q"} << true;
    QTest::newRow("-q -q") << QStringList {"-q", "-q"} << true;
    QTest::newRow("-root dir -q") << QStringList {"-root", "/opt/im", "-q"} << true;
    QTest::newRow("no arguments") << QStringList {} << false;
    QTest::newRow("-Q") << QStringList {"-Q"} << false;
    QTest::newRow("-qq") << QStringList {"-qq"} << false;
    QTest::newRow("--q") << QStringList {"--q"} << false;
    QTest::newRow("-q=1") << QStringList {"-q=1"} << false;
    QTest::newRow("-q with a blank") << QStringList {"-q "} << false;
    QTest::newRow("-root and its directory") << QStringList {"-root", "/opt/im"} << false;
}

void TestStartup::quietMode()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, quiet);
    QCOMPARE(Startup::isQuietMode(QStringList {"vorn-updater"} + arguments), quiet);
    // The program name itself never selects quiet mode.
    QVERIFY(!Startup::isQuietMode({"-q"}));
}

void TestStartup::symlinkGuard_data()
{
    QTest::addColumn<QString>("library");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("broken");
    QTest::newRow("first library linked") << "libphonon.so.4"
                                          << "link" << true;
    QTest::newRow("last library linked") << "libQtWebKit.so.4"
                                         << "link" << true;
    QTest::newRow("middle library linked") << "libQtCore.so.4"
                                           << "link" << true;
    QTest::newRow("dangling link passes") << "libQtGui.so.4"
                                          << "dangling" << false;
    QTest::newRow("regular file passes") << "libQtGui.so.4"
                                         << "file" << false;
    QTest::newRow("other library linked") << "libQtSql.so.4"
                                          << "link" << false;
    QTest::newRow("no qt_libs at all") << QString() << "none" << false;
}

void TestStartup::symlinkGuard()
{
    QFETCH(QString, library);
    QFETCH(QString, kind);
    QFETCH(bool, broken);
    QTemporaryDir app;
    QVERIFY(app.isValid());
    if (kind != QLatin1String("none")) {
        QVERIFY(QDir(app.path()).mkdir(QStringLiteral("qt_libs")));
        const QString path = app.path() + QStringLiteral("/qt_libs/") + library;
        const QString real = app.path() + QStringLiteral("/real.so");
        QVERIFY(writeFile(real, QByteArray()));
        if (kind == QLatin1String("link"))
            QVERIFY(QFile::link(real, path));
        else if (kind == QLatin1String("dangling"))
            QVERIFY(QFile::link(app.path() + QStringLiteral("/gone.so"), path));
        else
            QVERIFY(QFile::copy(real, path));
    }

    MessageBoxAnswerer boxes;
    QCOMPARE(Startup::privateQtIsBroken(app.path()), broken);
    QCOMPARE(boxes.count(), broken ? 1 : 0);
    if (broken) {
        QCOMPARE(boxes.last().icon, QMessageBox::Critical);
        QCOMPARE(boxes.last().title, QStringLiteral("Update"));
        QCOMPARE(boxes.last().text,
                 QStringLiteral("Detected symlinks to qt library. Aborting updater!"));
        QCOMPARE(boxes.last().buttons, QList<QMessageBox::StandardButton> {QMessageBox::Ok});
        // Qt makes the only button the default when none is asked for.
        QCOMPARE(boxes.last().defaultButton, QMessageBox::Ok);
    }
}

void TestStartup::exceptionGuard_data()
{
    QTest::addColumn<int>("thrown"); // 0 none, 1 std::exception, 2 empty what(), 3 other
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<int>("boxCount");
    QTest::addColumn<QString>("text");
    QTest::newRow("nothing thrown") << 0 << 7 << 0 << QString();
    QTest::newRow("std::exception") << 1 << 1 << 1 << QStringLiteral("disk caf\u00e9 broken");
    QTest::newRow("empty what()") << 2 << 1 << 1 << QString();
    QTest::newRow("not a std::exception") << 3 << 1 << 0 << QString();
}

void TestStartup::exceptionGuard()
{
    QFETCH(int, thrown);
    QFETCH(int, exitCode);
    QFETCH(int, boxCount);
    QFETCH(QString, text);
    MessageBoxAnswerer boxes;
    const int result = Startup::guarded([thrown]() -> int {
        switch (thrown) {
        case 1:
            throw std::runtime_error("disk caf\xe9 broken"); // what() is read as Latin-1
        case 2:
            throw std::runtime_error("");
        case 3:
            throw 42;
        }
        return 7;
    });
    QCOMPARE(result, exitCode);
    QCOMPARE(boxes.count(), boxCount);
    if (boxCount) {
        QCOMPARE(boxes.last().icon, QMessageBox::Critical);
        QCOMPARE(boxes.last().title, QStringLiteral("Update"));
        QCOMPARE(boxes.last().text, text);
        // Qt makes the only button the default when none is asked for.
        QCOMPARE(boxes.last().defaultButton, QMessageBox::Ok);
    }
}

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
