#include "eventloop.h"
#include "fakeupdateserver.h"
#include "messageboxanswerer.h"
#include "offer.h"
#include "reportreceiver.h"
#include "shownwindow.h"
#include "standinmessenger.h"
#include "testfiles.h"
#include "testinstallation.h"
#include "treesnapshot.h"
#include "vorninstalldialog.h"
#include "vornupdaterengine.h"
#include "zipbuilder.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace {

// Made by main() before the application object, so that "-root" can name it.
QString rootDir;
QString restartRecord;

const QString rollbackText = QStringLiteral("Rollback update");
const QString failureLog = QStringLiteral("An error occured while installing updates");
const QString rollbackFailed = QStringLiteral(
    "An error occured while rolling back update progress. Software may not work properly. "
    "Try reinstalling whole application");

QList<int> ints(const QSignalSpy &spy)
{
    QList<int> values;
    for (const QList<QVariant> &arguments : spy)
        values << arguments.at(0).toInt();
    return values;
}

// As the application does: the engine's request to end ends the event loop.
void quitOnRequest(VornUpdaterEngine &engine)
{
    QObject::connect(&engine, &VornUpdaterEngine::quitRequested, qApp, &QCoreApplication::quit);
}

// Runs the installation inside the application's event loop, as the install window does; the
// result is 0 when the run asked the application to quit, 99 when it never did.
int runInEventLoop(VornUpdaterEngine &engine)
{
    quitOnRequest(engine);
    QTimer::singleShot(0, &engine, &VornUpdaterEngine::installUpdates);
    return runEventLoop();
}

QStringList strings(const QSignalSpy &spy)
{
    QStringList values;
    for (const QList<QVariant> &arguments : spy)
        values << arguments.at(0).toString();
    return values;
}

} // namespace

class TestInstallRun : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void threePackagesInstall();
    void emptyListStillRunsTheScript();
    void failureRollsBackEveryPackage_data();
    void failureRollsBackEveryPackage();
    void failureBoxCarriesTheErrorText();
    void failedUnwindsAreReportedAndTheRestUnwound_data();
    void failedUnwindsAreReportedAndTheRestUnwound();
    void failedRootCheckEndsTheRun();
    void retryRestartsTheUpdater();
    void applicationDirectoryWithBlanksAndQuotes();
    void reportOfTheRun_data();
    void reportOfTheRun();

    // Run only as a child process by the two tests above.
    void retryScenario();

private:
    void offer(VornUpdaterEngine &engine, const QStringList &names);
    void publish(const QString &name, const ZipBuilder &zip);
    void writeFixScript();
    QString downloadDir() const { return QDir::tempPath() + QStringLiteral("/tupdates/"); }
    QString fixRecord() const { return QDir::tempPath() + QStringLiteral("/fix-args"); }
    QString orderRecord() const { return QDir::tempPath() + QStringLiteral("/order"); }
    void populateRoot();
    static ZipBuilder package(const QByteArray &name, const QList<QList<QByteArray>> &files,
                              const QList<QPair<QByteArray, QByteArray>> &contents,
                              const QByteArray &project = "im");
};

void TestInstallRun::init()
{
    QDir(rootDir).removeRecursively();
    QDir(downloadDir()).removeRecursively();
    QFile::remove(fixRecord());
    QFile::remove(orderRecord());
    populateRoot();
    writeFixScript();
}

void TestInstallRun::cleanup()
{
    QFile::remove(StandInMessenger::path());
    QFile::remove(QCoreApplication::applicationDirPath() + QStringLiteral("/fix.sh"));
}

void TestInstallRun::populateRoot()
{
    QVERIFY(writeFile(rootDir + QStringLiteral("/vorn"), "messenger v1"));
    QVERIFY(writeFile(rootDir + QStringLiteral("/bin/client"), "client v1"));
    QVERIFY(writeFile(rootDir + QStringLiteral("/lib/libold.so"), "old library"));
    QVERIFY(writeFile(rootDir + QStringLiteral("/share/readme"), "readme v1"));
    QVERIFY(QFile::setPermissions(rootDir + QStringLiteral("/bin/client"),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
}

void TestInstallRun::writeFixScript()
{
    const QString script = QCoreApplication::applicationDirPath() + QStringLiteral("/fix.sh");
    QVERIFY(writeFile(script,
                      "printf '%s\\n' \"$@\" > \"" + fixRecord().toUtf8()
                          + "\"\n"
                            "echo script >> \""
                          + orderRecord().toUtf8() + "\"\n"));
}

ZipBuilder TestInstallRun::package(const QByteArray &name, const QList<QList<QByteArray>> &files,
                                   const QList<QPair<QByteArray, QByteArray>> &contents,
                                   const QByteArray &project)
{
    ZipBuilder zip;
    zip.addFile(name + ".xml", ZipBuilder::manifest(project, name, "app", files));
    for (const auto &content : contents)
        zip.addFile(content.first, content.second);
    return zip;
}

void TestInstallRun::publish(const QString &name, const ZipBuilder &zip)
{
    QVERIFY(QDir().mkpath(downloadDir()));
    QVERIFY(zip.write(downloadDir() + name + QStringLiteral(".zip")));
}

// Fills the engine's list the way a real run does: through the update check.
void TestInstallRun::offer(VornUpdaterEngine &engine, const QStringList &names)
{
    QList<Offer> offers;
    for (const QString &name : names)
        offers.append({name.toUtf8()});
    const QByteArray reply = replyOffering(offers, "im", "app");
    QVERIFY(StandInMessenger::writeAskingFor(reply));
    FakeUpdateServer server;
    server.setReply({reply});
    QVERIFY(server.listen());
    QVERIFY(!engine.checkUpdates().isFailure());
    QCOMPARE(engine.getUpdates().size(), names.size());
}

void TestInstallRun::threePackagesInstall()
{
    VornUpdaterEngine engine(testInstallation(), testSettings(), testPrompter());
    offer(engine, {"alpha", "beta", "gamma"});
    publish("alpha",
            package("alpha", {{"bin", "client", "add"}},
                    {{"lib/b.so", "b"}, {"bin/client", "client v2"}}));
    publish("beta", package("beta", {{"lib", "libold.so", "remove"}}, {}));
    publish("gamma",
            package("gamma", {{"share", "readme", "add"}, {"", "new.txt", "add"}},
                    {{"share/readme", "readme v2"}, {"new.txt", "new"}}));

    QSignalSpy progress(&engine, &VornUpdaterEngine::installProgress);
    QSignalSpy names(&engine, &VornUpdaterEngine::installFile);
    QSignalSpy finished(&engine, &VornUpdaterEngine::installFinished);
    bool succeededAtEnd = false;
    connect(&engine, &VornUpdaterEngine::installFinished, this, [&] {
        succeededAtEnd = engine.isInstallSucceeded();
        appendFile(orderRecord(), "finished\n");
    });
    MessageBoxAnswerer boxes;
    engine.installUpdates();

    QCOMPARE(boxes.count(), 0);
    QCOMPARE(ints(progress), (QList<int> {33, 66, 100}));
    QCOMPARE(strings(names), (QStringList {"alpha", "beta", "gamma"}));
    QCOMPARE(finished.count(), 1);
    QVERIFY(succeededAtEnd);
    QCOMPARE(readFile(orderRecord()), QByteArray("script\nfinished\n"));
    QCOMPARE(readFile(fixRecord()), QCoreApplication::applicationDirPath().toUtf8() + '\n');
    QCOMPARE(engine.getLog(),
             QStringLiteral("Installing package alpha:\n - bin/client\n - lib/b.so\n\n"
                            "Installing package beta:\n\n\n"
                            "Installing package gamma:\n - new.txt\n - share/readme\n\n"));

    QCOMPARE(readFile(rootDir + QStringLiteral("/bin/client")), QByteArray("client v2"));
    QVERIFY(!QFile::exists(rootDir + QStringLiteral("/lib/libold.so")));
    QCOMPARE(readFile(rootDir + QStringLiteral("/share/readme")), QByteArray("readme v2"));
    QCOMPARE(readFile(rootDir + QStringLiteral("/new.txt")), QByteArray("new"));
    // Packages and backups are gone; the directories stay.
    const TreeSnapshot leftovers = TreeSnapshot::take(downloadDir());
    for (const auto &entry : leftovers.entries())
        QCOMPARE(entry.kind, TreeSnapshot::Entry::Directory);
    QVERIFY(QFileInfo(downloadDir() + QStringLiteral("alpha/unwind")).isDir());
}

void TestInstallRun::emptyListStillRunsTheScript()
{
    VornUpdaterEngine engine(testInstallation(), testSettings(), testPrompter());
    offer(engine, {});
    QVERIFY(writeFile(downloadDir() + QStringLiteral("stale.zip"), "left from an earlier run"));
    QSignalSpy progress(&engine, &VornUpdaterEngine::installProgress);
    QSignalSpy finished(&engine, &VornUpdaterEngine::installFinished);
    engine.installUpdates();
    QVERIFY(engine.isInstallSucceeded());
    QCOMPARE(progress.count(), 0);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(readFile(fixRecord()), QCoreApplication::applicationDirPath().toUtf8() + '\n');
    QVERIFY(!QFile::exists(downloadDir() + QStringLiteral("stale.zip")));
    QVERIFY(engine.getLog().isEmpty());
}

void TestInstallRun::failureRollsBackEveryPackage_data()
{
    QTest::addColumn<bool>("withManifest");
    QTest::addColumn<QString>("message");
    QTest::newRow("wrong project") << true << QStringLiteral("Wrong project!");
    // A genuine package served under another link: its manifest is not where it is looked for.
    QTest::newRow("no manifest") << false
                                 << QStringLiteral("Package beta holds no manifest, so it cannot "
                                                   "be installed.");
}

void TestInstallRun::failureRollsBackEveryPackage()
{
    QFETCH(bool, withManifest);
    QFETCH(QString, message);
    const TreeSnapshot before = TreeSnapshot::take(rootDir);
    VornUpdaterEngine engine(testInstallation(), testSettings(), testPrompter());
    offer(engine, {"alpha", "beta", "gamma"});
    publish(
        "alpha",
        package(
            "alpha",
            {{"bin", "client", "add"}, {"lib", "libold.so", "remove"}, {"", "added.txt", "add"}},
            {{"bin/client", "client v2"}, {"added.txt", "added"}}));
    // beta replaces the file alpha replaced, then fails its package check: the rollback must
    // bring back the file as it stood before the run, not alpha's version.
    ZipBuilder beta;
    beta.addFile(withManifest ? "beta.xml" : "other.xml",
                 "<root><file path='bin' name='client' action='add'/>"
                 "<file path='share' name='readme' action='remove'/>"
                 "<package project='other' name='beta' type='app'/></root>");
    beta.addFile("bin/client", "client v3");
    publish("beta", beta);
    publish("gamma", package("gamma", {{"share", "readme", "add"}}, {{"share/readme", "g"}}));

    QSignalSpy progress(&engine, &VornUpdaterEngine::installProgress);
    QSignalSpy names(&engine, &VornUpdaterEngine::installFile);
    QSignalSpy finished(&engine, &VornUpdaterEngine::installFinished);
    MessageBoxAnswerer boxes({QMessageBox::Ok, QMessageBox::Abort});
    engine.installUpdates();

    QCOMPARE(boxes.count(), 2);
    const MessageBoxAnswerer::Box &packageBox = boxes.boxes().at(0);
    QCOMPARE(packageBox.icon, QMessageBox::Critical);
    QCOMPARE(packageBox.title, QStringLiteral("Update"));
    QCOMPARE(packageBox.text, message);
    QCOMPARE(packageBox.buttons, QList<QMessageBox::StandardButton> {QMessageBox::Ok});
    const MessageBoxAnswerer::Box &failure = boxes.boxes().at(1);
    QCOMPARE(failure.icon, QMessageBox::Warning);
    QCOMPARE(failure.title, QStringLiteral("Update"));
    QCOMPARE(failure.text, QStringLiteral("Failed installing package beta"));
    QCOMPARE(failure.buttons,
             (QList<QMessageBox::StandardButton> {QMessageBox::Abort, QMessageBox::Retry}));
    QCOMPARE(failure.defaultButton, QMessageBox::Retry);

    QCOMPARE(ints(progress), (QList<int> {33, 0, 33, 66, 100}));
    QCOMPARE(strings(names), (QStringList {"alpha", "beta", rollbackText}));
    QCOMPARE(finished.count(), 1);
    QVERIFY(!engine.isInstallSucceeded());
    QCOMPARE(engine.getLog(), failureLog);
    QVERIFY(!QFile::exists(fixRecord()));

    // Every file that stood before is back with its bytes and mode; alpha's new file stays.
    TreeSnapshot after = TreeSnapshot::take(rootDir);
    QVERIFY(after.entries().contains(QStringLiteral("added.txt")));
    QMap<QString, TreeSnapshot::Entry> withoutAdded = after.entries();
    withoutAdded.remove(QStringLiteral("added.txt"));
    QVERIFY2(withoutAdded == before.entries(), qPrintable(before.differences(after)));
    QVERIFY(!QFile::exists(downloadDir() + QStringLiteral("alpha.zip")));
}

void TestInstallRun::failureBoxCarriesTheErrorText()
{
    VornUpdaterEngine engine(testInstallation(), testSettings(), testPrompter());
    offer(engine, {"alpha"});
    publish("alpha", package("alpha", {{"", "data.bin", "add"}}, {{"data.bin", "x"}}));
    // A directory where the unpacked file must go: the file cannot be created.
    QVERIFY(QDir().mkpath(downloadDir() + QStringLiteral("alpha/data.bin")));
    MessageBoxAnswerer boxes({QMessageBox::Ok, QMessageBox::Abort});
    engine.installUpdates();
    QCOMPARE(boxes.count(), 2);
    QVERIFY(boxes.boxes().at(0).text.startsWith(QStringLiteral("Cannot create file data.bin (")));
    const QString text = boxes.boxes().at(1).text;
    QVERIFY2(text.startsWith(QStringLiteral("Failed installing package alpha\n")),
             qPrintable(text));
    QVERIFY(text.size() > QStringLiteral("Failed installing package alpha\n").size());
    QVERIFY(!text.endsWith(QLatin1Char('\n')));
}

void TestInstallRun::failedUnwindsAreReportedAndTheRestUnwound_data()
{
    QTest::addColumn<QString>("spoil");
    QTest::addColumn<int>("failures");
    QTest::newRow("the directories of alpha's and gamma's files become files")
        << "directories" << 2;
    QTest::newRow("gamma's backup is removed") << "backup" << 1;
}

// Unwinds fail while the failure box is open: the user sees a box for each while the install
// window stays up, the other packages are still unwound, and the application ends only after
// the rollback, from the event loop.
void TestInstallRun::failedUnwindsAreReportedAndTheRestUnwound()
{
    QFETCH(QString, spoil);
    QFETCH(int, failures);
    VornUpdaterEngine engine(testInstallation(), testSettings(), testPrompter());
    offer(engine, {"alpha", "beta", "gamma", "delta"});
    publish("alpha", package("alpha", {{"lib", "libold.so", "add"}}, {{"lib/libold.so", "a"}}));
    publish("beta", package("beta", {{"bin", "client", "add"}}, {{"bin/client", "b"}}));
    publish("gamma", package("gamma", {{"etc", "config", "add"}}, {{"etc/config", "c"}}));
    publish("delta", package("delta", {{"share", "readme", "add"}}, {}, "wrong"));
    QVERIFY(writeFile(rootDir + QStringLiteral("/etc/config"), "config v1"));

    QSignalSpy progress(&engine, &VornUpdaterEngine::installProgress);
    QSignalSpy finished(&engine, &VornUpdaterEngine::installFinished);
    QList<bool> installWindowShown;
    MessageBoxAnswerer boxes({QMessageBox::Ok, QMessageBox::Abort});
    boxes.setBeforeAnswer([&](const MessageBoxAnswerer::Box &box) {
        if (box.icon == QMessageBox::Warning && spoil == u"directories") {
            for (const char *dir : {"/lib", "/etc"}) {
                QDir(rootDir + QLatin1String(dir)).removeRecursively();
                writeFile(rootDir + QLatin1String(dir), "in the way");
            }
        }
        if (box.icon == QMessageBox::Warning && spoil == u"backup")
            QVERIFY(QFile::remove(downloadDir() + QStringLiteral("gamma/unwind/etc/config")));
        if (box.text == rollbackFailed)
            installWindowShown << (shownWindow("Updater_Install_MainWindow") != nullptr);
    });
    quitOnRequest(engine);
    QTimer::singleShot(0, &engine, [&engine] { new VornInstallDialog(&engine); });
    QCOMPARE(runEventLoop(), 0); // the run asked the application to quit
    QCOMPARE(boxes.count(), 2 + failures);
    QCOMPARE(installWindowShown, QList<bool>(failures, true));
    for (int i = 2; i < 2 + failures; ++i) {
        QCOMPARE(boxes.boxes().at(i).icon, QMessageBox::Critical);
        QCOMPARE(boxes.boxes().at(i).title, QStringLiteral("Update"));
        QCOMPARE(boxes.boxes().at(i).buttons, QList<QMessageBox::StandardButton> {QMessageBox::Ok});
    }
    QCOMPARE(ints(progress), (QList<int> {25, 50, 75, 0, 25, 50, 75, 100}));
    QCOMPARE(finished.count(), 1);
    // beta was still unwound; gamma's file was not put back.
    QCOMPARE(readFile(rootDir + QStringLiteral("/bin/client")), QByteArray("client v1"));
    if (spoil == u"backup")
        QCOMPARE(readFile(rootDir + QStringLiteral("/etc/config")), QByteArray("c"));
}

void TestInstallRun::failedRootCheckEndsTheRun()
{
    VornUpdaterEngine engine(testInstallation(), testSettings(), testPrompter());
    offer(engine, {"alpha"});
    publish("alpha", package("alpha", {{"bin", "client", "add"}}, {{"bin/client", "v2"}}));
    QVERIFY(QFile::remove(rootDir + QStringLiteral("/vorn")));
    const TreeSnapshot before = TreeSnapshot::take(rootDir);

    QSignalSpy names(&engine, &VornUpdaterEngine::installFile);
    QSignalSpy finished(&engine, &VornUpdaterEngine::installFinished);
    MessageBoxAnswerer boxes;
    QCOMPARE(runInEventLoop(engine), 0);

    QCOMPARE(boxes.count(), 1);
    QCOMPARE(boxes.last().icon, QMessageBox::Critical);
    QCOMPARE(boxes.last().title, QStringLiteral("Update"));
    QCOMPARE(boxes.last().text, QStringLiteral("Cannot run update!"));
    QCOMPARE(boxes.last().buttons, QList<QMessageBox::StandardButton> {QMessageBox::Ok});
    QCOMPARE(names.count(), 0);
    QCOMPARE(finished.count(), 0);
    QVERIFY(!QFile::exists(fixRecord()));
    QVERIFY(TreeSnapshot::take(rootDir) == before);
    // The download directory is left as it is.
    QVERIFY(QFile::exists(downloadDir() + QStringLiteral("alpha.zip")));
}

void TestInstallRun::retryScenario()
{
    if (restartRecord.isEmpty())
        QSKIP("runs as a child process of retryRestartsTheUpdater");
    VornUpdaterEngine engine(testInstallation(), testSettings(), testPrompter());
    offer(engine, {"alpha"});
    publish("alpha", package("alpha", {{"bin", "client", "add"}}, {}, "wrong"));
    QVERIFY(writeFile(restartRecord, "armed\n"));
    MessageBoxAnswerer boxes({QMessageBox::Ok, QMessageBox::Retry});
    QCOMPARE(runInEventLoop(engine), 0);
    QCOMPARE(boxes.count(), 2);
    QCOMPARE(engine.getLog(), failureLog);
}

void TestInstallRun::retryRestartsTheUpdater()
{
    QTemporaryDir scratch;
    QVERIFY(scratch.isValid());
    const QString record = scratch.path() + QStringLiteral("/restart");
    const QStringList arguments {"retryScenario", "-root", rootDir, "--restart-record", record};
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(QCoreApplication::applicationFilePath(), arguments);
    QVERIFY(child.waitForFinished(60000));
    QCOMPARE(child.exitCode(), 0);
    // The restarted instance writes what it was started with.
    QTRY_VERIFY_WITH_TIMEOUT(readFile(record).startsWith("restarted\n"), 20000);
    QCOMPARE(QString::fromUtf8(readFile(record)),
             QStringLiteral("restarted\n") + arguments.join(QLatin1Char('\n')) + '\n');
}

void TestInstallRun::applicationDirectoryWithBlanksAndQuotes()
{
    QTemporaryDir scratch;
    QVERIFY(scratch.isValid());
    const QString dir = scratch.path() + QStringLiteral("/Vorn \"IM\" it's; $(x)");
    QVERIFY(QDir().mkpath(dir));
    const QString copy = dir + QStringLiteral("/tst_installrun");
    QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), copy));
    QVERIFY(QFile::setPermissions(copy, QFile::ReadOwner | QFile::ExeOwner));
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    // The copy runs the success test from its own directory; the script there records its
    // arguments and the test in the copy compares them with that directory.
    child.start(copy, {"threePackagesInstall", "emptyListStillRunsTheScript"});
    QVERIFY(child.waitForFinished(60000));
    QCOMPARE(child.exitCode(), 0);
}

void TestInstallRun::reportOfTheRun_data()
{
    QTest::addColumn<QByteArray>("project"); // of the package
    QTest::addColumn<bool>("rootIntact");
    QTest::addColumn<QByteArray>("verdict");
    QTest::newRow("installed") << QByteArray("im") << true
                               << QByteArray(R"(outcome="installed" reason="none")");
    QTest::newRow("rolled back") << QByteArray("wrong") << true
                                 << QByteArray(R"(outcome="rolled-back" reason="package")");
    QTest::newRow("root check failed")
        << QByteArray("im") << false
        << QByteArray(R"(outcome="rolled-back" reason="installation")");
}

// The report of an installation run reaches the update server with these fields alone.
void TestInstallRun::reportOfTheRun()
{
    QFETCH(QByteArray, project);
    QFETCH(bool, rootIntact);
    QFETCH(QByteArray, verdict);
    QTemporaryDir state;
    RunSettings settings = testSettings();
    settings.installReports = true;
    settings.stateDirectory = state.path();
    QList<QByteArray> received;
    {
        VornUpdaterEngine engine(testInstallation(), settings, testPrompter());
        offer(engine, {"alpha"});
        publish("alpha",
                package("alpha", {{"bin", "client", "add"}}, {{"bin/client", "v2"}}, project));
        if (!rootIntact)
            QVERIFY(QFile::remove(rootDir + QStringLiteral("/vorn")));
        ReportReceiver receiver;
        QVERIFY(receiver.listen());
        MessageBoxAnswerer boxes({QMessageBox::Ok, QMessageBox::Abort});
        engine.installUpdates();
        received = receiver.reports(1);
    }
    QCOMPARE(received,
             QList<QByteArray> {R"(<report version="1"><package component="alpha" project="im" )"
                                R"(type="app" from="1.0" to="2.0" delivery="whole" )"
                                + verdict + "/></report>"});
}

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const int recordAt = arguments.indexOf(QStringLiteral("--restart-record"));
    if (recordAt >= 0) {
        restartRecord = arguments.value(recordAt + 1);
        // The instance that a Retry started: record its arguments and end.
        if (readFile(restartRecord) == "armed\n") {
            writeFile(restartRecord,
                      "restarted\n" + arguments.join(QLatin1Char('\n')).toLocal8Bit() + '\n');
            return 0;
        }
    }

    QTemporaryDir scratch;
    qputenv("TMPDIR", QFile::encodeName(scratch.path()));
    rootDir = scratch.path() + QStringLiteral("/root");
    // "-root" reaches the packages through the application's arguments.
    std::vector<QByteArray> storage;
    std::vector<char *> appArgv {argv[0]};
    std::vector<char *> testArgv {argv[0]};
    const int rootAt = arguments.indexOf(QStringLiteral("-root"));
    if (rootAt >= 0)
        rootDir = arguments.value(rootAt + 1);
    // An option given and its value are the application's, not QTest's.
    const auto belongsTo
        = [](int option, int at) { return option >= 0 && (at == option || at == option + 1); };
    for (int i = 1; i < argc; ++i) {
        appArgv.push_back(argv[i]);
        if (!belongsTo(rootAt, i - 1) && !belongsTo(recordAt, i - 1))
            testArgv.push_back(argv[i]);
    }
    if (rootAt < 0) {
        storage = {QByteArray("-root"), QFile::encodeName(rootDir)};
        appArgv.push_back(storage[0].data());
        appArgv.push_back(storage[1].data());
    }
    int appArgc = int(appArgv.size());
    QApplication app(appArgc, appArgv.data());
    Q_INIT_RESOURCE(updater);
    TestInstallRun test;
    return QTest::qExec(&test, int(testArgv.size()), testArgv.data());
}

#include "tst_installrun.moc"
