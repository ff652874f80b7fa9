#include "programrun.h"
#include "testfiles.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

ProgramRun run(const QStringList &arguments)
{
    return runProgram(QStringLiteral(MESSENGER_EXE), arguments, QString(), 10000);
}

} // namespace

class TestMessengerStandIn : public QObject
{
    Q_OBJECT

private slots:
    void query_data();
    void query();
    void defaultListAsTheUpdaterRunsIt();
    void writesComponentsFile();
    void malformedList_data();
    void malformedList();
};

void TestMessengerStandIn::query_data()
{
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("no components")
        << QByteArray("# nothing\n") << QByteArray("<s><update></update></s>\n");
    QTest::newRow("identifier order")
        << QByteArray("vorn zeta app 2.0\nvorn alpha plugin 1.0\n")
        << QByteArray("<s><update><component project='vorn' name='alpha' type='plugin' "
                      "version='1.0' /><component project='vorn' name='zeta' type='app' "
                      "version='2.0' /></update></s>\n");
    QTest::newRow("dash for empty fields")
        << QByteArray("- core - 1.0\n- theme - -\n")
        << QByteArray("<s><update><component name='core' version='1.0' />"
                      "<component name='theme' version='' /></update></s>\n");
    QTest::newRow("first line of a component wins, blanks and comments skipped")
        << QByteArray("\n# comment\n  vorn   core\tapp 1.0  \n\nvorn core app 9.9\n")
        << QByteArray("<s><update><component project='vorn' name='core' type='app' "
                      "version='1.0' /></update></s>\n");
    QTest::newRow("last line without line feed")
        << QByteArray("vorn core app 1.0")
        << QByteArray("<s><update><component project='vorn' name='core' type='app' "
                      "version='1.0' /></update></s>\n");
}

void TestMessengerStandIn::query()
{
    QFETCH(QByteArray, list);
    QFETCH(QByteArray, expected);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeFile(dir.filePath("list.txt"), list));

    const ProgramRun result = run({"-updatequery", "--components", dir.filePath("list.txt")});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.out, expected);
    QCOMPARE(result.err, QByteArray());
}

void TestMessengerStandIn::defaultListAsTheUpdaterRunsIt()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString messenger = dir.filePath("vorn");
    QVERIFY(QFile::copy(QStringLiteral(MESSENGER_EXE), messenger));
    QVERIFY(writeFile(dir.filePath("components.txt"), "vorn core app 1.0\n"));

    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.startCommand(messenger + " -updatequery");
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE(process.readAll(),
             QByteArray("<s><update><component project='vorn' name='core' "
                        "type='app' version='1.0' /></update></s>\n"));
}

void TestMessengerStandIn::writesComponentsFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeFile(dir.filePath("list.txt"), "vorn zeta app 2\nvorn alpha plugin 1\n"));

    const ProgramRun result = run({"--components", dir.filePath("list.txt"),
                                   "--write-components-file", dir.filePath("components.xml")});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.out, QByteArray());

    const QByteArray fields = "<description></description>\n<copyrights></copyrights>\n"
                              "<author></author>\n<webpage></webpage>\n<email></email>\n";
    QCOMPARE(readFile(dir.filePath("components.xml")),
             "<components>\n<component project='vorn' name='alpha' type='plugin' version='1'>\n"
                 + fields
                 + "</component><component project='vorn' name='zeta' type='app' "
                   "version='2'>\n"
                 + fields + "</component></components>");
}

void TestMessengerStandIn::malformedList_data()
{
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QByteArray>("list");

    QTest::newRow("missing list") << false << QByteArray();
    QTest::newRow("three fields") << true << QByteArray("vorn core app\n");
    QTest::newRow("five fields") << true << QByteArray("vorn core app 1.0 extra\n");
}

void TestMessengerStandIn::malformedList()
{
    QFETCH(bool, exists);
    QFETCH(QByteArray, list);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    if (exists)
        QVERIFY(writeFile(dir.filePath("list.txt"), list));

    const ProgramRun result = run({"-updatequery", "--components", dir.filePath("list.txt")});
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.out, QByteArray());
    QVERIFY(!result.err.contains("<s>"));
    QVERIFY(result.err.contains("list.txt"));
}

QTEST_GUILESS_MAIN(TestMessengerStandIn)
#include "tst_messengerstandin.moc"
