#include "ed25519.h"
#include "fakeupdateserver.h"
#include "httptestserver.h"
#include "packagestatement.h"
#include "testfiles.h"
#include "treesnapshot.h"
#include "vornconfig.h"
#include "zipbuilder.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>

// Runs the real vorn-updater as a child process, copied into a scratch application directory
// beside a stand-in messenger. Its boxes are answered from inside by the preloaded driver.
class TestUpdater : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void symlinkGuardStopsBeforeEverything_data();
    void symlinkGuardStopsBeforeEverything();
    void noUpdates_data();
    void noUpdates();
    void failedCheckEndsWithZero();
    void terminatedDuringTheCheck();
    void terminatedDuringTheDownload();
    void secondUpdaterKeepsAway_data();
    void secondUpdaterKeepsAway();
    void onlyOurRunsTakeTheLock_data();
    void onlyOurRunsTakeTheLock();
    void killedUpdaterIsTakenOver();

private:
    struct Outcome
    {
        int exitCode = -1;
        QStringList log;
    };
    Outcome runUpdater(const QStringList &arguments);
    QProcessEnvironment environment(const QString &logPath) const;
    void linkLibrary(const QString &name);
    // The installed plug-in core 1.0, and a messenger that asks for it: it leaves `hold`.asked
    // behind when it starts, and answers once `hold` is gone.
    void installCore(const QString &hold);
    QString plugin(const QString &name) const { return home() + "/.Vorn/plugins/" + name; }
    QString home() const { return temp->path() + QStringLiteral("/home"); }
    QString downloadDir() const { return temp->path() + QStringLiteral("/tupdates"); }

    std::unique_ptr<QTemporaryDir> temp;
    QString appDir;
};

namespace {

const QString noUpdatesBox
    = QStringLiteral("box\tInformation\tAktualizuj\tBrak nowych aktualizacji.\tOk\tOk");

QByteArray latestReply()
{
    return "<update><request project='im' name='core' type='app'><latest/></request></update>";
}

// The reply that offers version 2.0 of the plug-in core in this package, signed with the key
// the build trusts where it has one.
QByteArray replyOffering(const QByteArray &package)
{
    const PackageStatement statement {"vorn", "core",         "plugin",
                                      "2.0",  package.size(), Digest::of(Digest::Sha256, package)};
    QByteArray vouched = "<sha256>" + statement.digest.toHex() + "</sha256><size>"
        + QByteArray::number(package.size()) + "</size>";
    if (!QStringLiteral(VORN_PACKAGE_PUBLIC_KEYS).isEmpty()) {
        const QByteArray seed
            = QByteArray::fromBase64(readFile(VORN_SIGNING_KEY).split('\n').value(2));
        const QByteArray text = statement.text();
        vouched += "<signature>"
            + Ed25519::sign(seed, reinterpret_cast<const uchar *>(text.constData()), text.size())
                  .toBase64()
            + "</signature>";
    }
    return "<update><request project='vorn' name='core' type='plugin'><version>2.0</version>"
           "<link>http://127.0.0.1/core.zip</link>"
        + vouched + "</request></update>";
}

QByteArray coreRelease()
{
    return ZipBuilder()
        .addFile("core.xml",
                 ZipBuilder::manifest("vorn", "core", "plugin", {{"", "core.txt", "add"}}))
        .addFile("core.txt", "core 2.0")
        .bytes();
}

} // namespace

void TestUpdater::init()
{
    temp = std::make_unique<QTemporaryDir>();
    QVERIFY(temp->isValid());
    appDir = temp->path() + QStringLiteral("/Vorn IM");
    QVERIFY(QDir().mkpath(appDir));
    const QString updater = appDir + QStringLiteral("/vorn-updater");
    QVERIFY(QFile::copy(QStringLiteral(VORN_UPDATER_EXE), updater));
    QVERIFY(QFile::setPermissions(updater, QFile::ReadOwner | QFile::ExeOwner));

    QVERIFY(writeFile(appDir + QStringLiteral("/vorn"),
                      "#!/bin/sh\nprintf '<s><update><component name=\"core\" version=\"1\" />"
                      "</update></s>'\n",
                      0500));
}

void TestUpdater::linkLibrary(const QString &name)
{
    QVERIFY(QDir(appDir).mkpath(QStringLiteral("qt_libs")));
    QVERIFY(
        QFile::link(appDir + QStringLiteral("/vorn"), appDir + QStringLiteral("/qt_libs/") + name));
}

// The updater's own temporary and home directories, its boxes answered and its summary closed
// by the driver, which logs what it saw to logPath.
QProcessEnvironment TestUpdater::environment(const QString &logPath) const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(VORN_DRIVER_LIBRARY));
    environment.insert(QStringLiteral("VORN_DRIVER_LOG"), logPath);
    environment.insert(QStringLiteral("VORN_DRIVER_CLICKS"),
                       QStringLiteral("Updater_Summary_Restart"));
    environment.insert(QStringLiteral("TMPDIR"), temp->path());
    environment.insert(QStringLiteral("HOME"), home());
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return environment;
}

void TestUpdater::installCore(const QString &hold)
{
    QVERIFY(writeFile(plugin("core.txt"), "core 1.0"));
    QVERIFY(
        writeFile(appDir + QStringLiteral("/vorn"),
                  "#!/bin/sh\n: >'" + QFile::encodeName(hold) + ".asked'\nwhile [ -e '"
                      + QFile::encodeName(hold)
                      + "' ]; do sleep 0.02; done\nprintf '<s><update><component project=\"vorn\" "
                        "name=\"core\" type=\"plugin\" version=\"1.0\" /></update></s>'\n",
                  0500));
}

TestUpdater::Outcome TestUpdater::runUpdater(const QStringList &arguments)
{
    const QString logPath = temp->path() + QStringLiteral("/driver.log");
    QFile::remove(logPath);
    QProcess updater;
    updater.setProcessEnvironment(environment(logPath));
    updater.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // Waited for on the event loop, on which the test's package servers answer.
    QSignalSpy finished(&updater, &QProcess::finished);
    updater.start(appDir + QStringLiteral("/vorn-updater"), arguments);
    Outcome outcome;
    if (!finished.wait(60000)) {
        updater.kill();
        updater.waitForFinished();
        return outcome;
    }
    outcome.exitCode = updater.exitStatus() == QProcess::NormalExit ? updater.exitCode() : -2;
    QFile log(logPath);
    if (log.open(QIODevice::ReadOnly))
        outcome.log = QString::fromUtf8(log.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return outcome;
}

void TestUpdater::symlinkGuardStopsBeforeEverything_data()
{
    QTest::addColumn<QString>("library");
    QTest::newRow("first") << "libphonon.so.4";
    QTest::newRow("last") << "libQtWebKit.so.4";
}

void TestUpdater::symlinkGuardStopsBeforeEverything()
{
    QFETCH(QString, library);
    linkLibrary(library);
    FakeUpdateServer server;
    server.setReply({latestReply()});
    QVERIFY(server.listen());

    const Outcome outcome = runUpdater({});
    QCOMPARE(outcome.exitCode, 1);
    // English although the catalogue is compiled in: the guard runs before it is installed.
    QCOMPARE(outcome.log,
             QStringList {QStringLiteral("box\tCritical\tUpdate\tDetected symlinks to qt library. "
                                         "Aborting updater!\tOk\tOk")});
    // Nothing else happened: not even the update check.
    QCOMPARE(server.receivedOnceClosed(200), QByteArray("(connection still open)"));
}

void TestUpdater::noUpdates_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("quiet");
    QTest::newRow("interactive") << QStringList {} << false;
    QTest::newRow("-root does not change the mode") << QStringList {"-root", "/opt/im"} << false;
    QTest::newRow("-Q is not quiet") << QStringList {"-Q"} << false;
    QTest::newRow("quiet") << QStringList {"-q"} << true;
    QTest::newRow("quiet after another argument") << QStringList {"x", "-q"} << true;
    QTest::newRow("quiet twice") << QStringList {"-q", "-q"} << true;
}

void TestUpdater::noUpdates()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, quiet);
    linkLibrary(QStringLiteral("libQtSql.so.4")); // not a guarded library
    FakeUpdateServer server;
    server.setReply({latestReply()});
    QVERIFY(server.listen());

    const Outcome outcome = runUpdater(arguments);
    QCOMPARE(outcome.exitCode, 0);
    QCOMPARE(outcome.log, quiet ? QStringList {} : QStringList {noUpdatesBox});
    QVERIFY(FakeUpdateServer::queryOf(server.receivedOnceClosed()).startsWith("<s><update>"));
}

void TestUpdater::failedCheckEndsWithZero()
{
    // Nothing listens on the update server's port.
    const Outcome outcome = runUpdater({QStringLiteral("-q")});
    QCOMPARE(outcome.exitCode, 0);
    QCOMPARE(outcome.log,
             QStringList {QStringLiteral(
                 "box\tCritical\tSprawdź aktualizacje\tNie można nawiązać połączenie z "
                 "serwerem aktualizacji. Sprawdź swoje połączenie internetowe.\tOk\tOk")});
}

// Ended by the session while the check waits on the messenger: the offers that the check then
// brings show no window, and nothing is fetched.
void TestUpdater::terminatedDuringTheCheck()
{
    const QString hold = temp->path() + QStringLiteral("/hold");
    installCore(hold);
    QVERIFY(writeFile(hold, ""));
    FakeUpdateServer server;
    server.setReply({replyOffering(coreRelease())});
    QVERIFY(server.listen());
    HttpTestServer web;
    QVERIFY(web.listen());
    web.serve("/core.zip", HttpTestServer::Response::ok(coreRelease()));

    const QString logPath = temp->path() + QStringLiteral("/first.log");
    QProcess updater;
    updater.setProcessEnvironment(environment(logPath));
    updater.start(appDir + QStringLiteral("/vorn-updater"), {});
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(hold + ".asked"), 30000);
    ::kill(pid_t(updater.processId()), SIGTERM);
    QFile::remove(hold);
    QTRY_VERIFY_WITH_TIMEOUT(updater.state() == QProcess::NotRunning, 30000);
    QCOMPARE(updater.exitStatus(), QProcess::NormalExit);
    QCOMPARE(updater.exitCode(), 0);
    QCOMPARE(readFile(logPath), QByteArray());
    QCOMPARE(readFile(plugin("core.txt")), QByteArray("core 1.0"));
    QCOMPARE(web.requestLines(), QStringList());
}

// Ended by the session (SIGTERM, as at logout) while a package arrives: the updater ends as
// when its window is closed, and the bytes received so far do not stay.
void TestUpdater::terminatedDuringTheDownload()
{
    installCore(temp->path() + QStringLiteral("/hold"));
    const qint64 size = 4 << 20;
    FakeUpdateServer server;
    server.setReply({replyOffering(HttpTestServer::pattern(0, size))});
    QVERIFY(server.listen());
    HttpTestServer web;
    QVERIFY(web.listen());
    HttpTestServer::Response held = HttpTestServer::Response::generated(size);
    held.pieces = {100000};
    web.serve("/core.zip", held);

    QProcess updater;
    updater.setProcessEnvironment(environment(temp->path() + QStringLiteral("/first.log")));
    updater.start(appDir + QStringLiteral("/vorn-updater"), {QStringLiteral("-q")});
    const QString body = downloadDir() + QStringLiteral("/downloading/0");
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(body).size() > 0, 30000);
    ::kill(pid_t(updater.processId()), SIGTERM);
    QTRY_VERIFY_WITH_TIMEOUT(updater.state() == QProcess::NotRunning, 30000);
    QCOMPARE(updater.exitStatus(), QProcess::NormalExit);
    QCOMPARE(updater.exitCode(), 0);
    QVERIFY(!QFileInfo::exists(body));
    QVERIFY(!QFileInfo::exists(downloadDir() + QStringLiteral("/core.zip")));
}

void TestUpdater::secondUpdaterKeepsAway_data()
{
    QTest::addColumn<QString>("moment");
    // The first finds a journal it cannot use, which it discards with the files beside it.
    QTest::addColumn<bool>("discarded");
    QTest::newRow("during the check") << "check" << false;
    QTest::newRow("during the download") << "download" << false;
    QTest::newRow("during the installation") << "installation" << false;
    QTest::newRow("during the check, after discarding a journal") << "check" << true;
}

// The messenger starts an updater while the user's is at work: the second touches nothing,
// says so and ends; the first installs the release whole.
void TestUpdater::secondUpdaterKeepsAway()
{
    QFETCH(QString, moment);
    QFETCH(bool, discarded);
    const QString hold = temp->path() + QStringLiteral("/hold");
    installCore(hold);
    if (discarded)
        QVERIFY(writeFile(downloadDir() + QStringLiteral("/journal"), "not a journal", 0600)
                && ::chmod(QFile::encodeName(downloadDir()).constData(), 0700) == 0);
    if (moment == QLatin1String("check"))
        QVERIFY(writeFile(hold, ""));
    const QByteArray package = coreRelease();
    FakeUpdateServer server;
    server.setReply({replyOffering(package)});
    QVERIFY(server.listen());
    HttpTestServer web;
    QVERIFY(web.listen());
    HttpTestServer::Response response = HttpTestServer::Response::ok(package);
    if (moment == QLatin1String("download"))
        response.pieces = {100};
    web.serve("/core.zip", response);

    QProcessEnvironment first = environment(temp->path() + QStringLiteral("/first.log"));
    if (moment == QLatin1String("installation")) {
        // Held before its first change of the installation.
        first.insert(QStringLiteral("LD_PRELOAD"),
                     first.value(QStringLiteral("LD_PRELOAD")) + ' ' + VORN_FILEOPS_LIBRARY);
        first.insert(QStringLiteral("VORN_FILEOPS_WITHIN"), plugin(QString()));
        first.insert(QStringLiteral("VORN_FILEOPS_PAUSE_AT"), QStringLiteral("1"));
        first.insert(QStringLiteral("VORN_FILEOPS_PAUSE_FILE"), hold);
    }
    QProcess updater;
    updater.setProcessEnvironment(first);
    updater.start(appDir + QStringLiteral("/vorn-updater"), {QStringLiteral("-q")});
    if (moment == QLatin1String("check"))
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(hold + ".asked"), 30000);
    if (moment == QLatin1String("download"))
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(downloadDir() + "/downloading/0").size() > 0, 30000);
    if (moment == QLatin1String("installation"))
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(hold), 30000);

    const Outcome second = runUpdater({QStringLiteral("-q")});
    QCOMPARE(second.exitCode, 0);
    QCOMPARE(second.log,
             QStringList {QStringLiteral("box\tInformation\tAktualizuj\tTrwa już inna aktualizacja "
                                         "komunikatora.\tOk\tOk")});

    QFile::remove(hold);
    web.releasePiece();
    QTRY_VERIFY_WITH_TIMEOUT(updater.state() == QProcess::NotRunning, 30000);
    QCOMPARE(updater.exitStatus(), QProcess::NormalExit);
    QCOMPARE(updater.exitCode(), 0);
    QCOMPARE(readFile(plugin("core.txt")), QByteArray("core 2.0"));
    QCOMPARE(QDir(downloadDir()).entryList(QDir::Files), QStringList());
}

void TestUpdater::onlyOurRunsTakeTheLock_data()
{
    // What another local user holds flocked (through a descriptor they may open), or what
    // stands at a lock file's name.
    QTest::addColumn<QString>("held");
    QTest::addColumn<QString>("planted");
    QTest::addColumn<QString>("box"); // empty: the run installs
    const QString notPlain = QStringLiteral(
        "box\tCritical\tAktualizuj\tAktualizator nie może zablokować %1 (to nie jest zwykły "
        "plik), więc nic nie zostanie zaktualizowane.\tOk\tOk");
    // {temp} and {app} stand for the test's directories.
    QTest::newRow("the installation directory") << "app" << QString() << QString();
    QTest::newRow("the home directory") << "home" << QString() << QString();
    QTest::newRow("the download directory's parent") << "temp" << QString() << QString();
    QTest::newRow("the download directory") << "downloads" << QString() << QString();
    // As an earlier updater left it, in a download directory that others may enter.
    QTest::newRow("a lock file others may read") << "downloads/lock"
                                                 << "downloads/lock" << QString();
    for (const char *kind : {"link", "fifo", "directory"}) {
        QTest::addRow("a %s at the download directory's lock", kind)
            << QString() << QStringLiteral("downloads/lock=%1").arg(kind)
            << notPlain.arg("{temp}/tupdates/lock");
    }
    QTest::newRow("a directory at the installation's lock")
        << QString() << "app/.vorn-updater.lock=directory"
        << notPlain.arg("{app}/.vorn-updater.lock");
}

// Nobody but the updater's own runs can stop a run: another user's flock on whatever they may
// open is passed by, and a lock file that is not a plain file ends the run before it touches
// anything.
void TestUpdater::onlyOurRunsTakeTheLock()
{
    QFETCH(QString, held);
    QFETCH(QString, planted);
    QFETCH(QString, box);
    installCore(temp->path() + QStringLiteral("/hold"));
    const QMap<QString, QString> places {
        {"app", appDir}, {"home", home()}, {"temp", temp->path()}, {"downloads", downloadDir()}};
    // Readable by others, as useradd and a system-wide installation make them.
    for (const QString &dir : places)
        QVERIFY(QDir().mkpath(dir) && ::chmod(QFile::encodeName(dir), 0755) == 0);
    if (!planted.isEmpty()) {
        const QString path = places.value(planted.section('/', 0, 0)) + '/'
            + planted.section('/', 1).section('=', 0, 0);
        const QString kind = planted.section('=', 1);
        const QByteArray name = QFile::encodeName(path);
        QVERIFY(kind == "link"            ? QFile::link(plugin("core.txt"), path)
                    : kind == "fifo"      ? ::mkfifo(name, 0600) == 0
                    : kind == "directory" ? QDir().mkpath(path)
                                          : writeFile(path, "", 0644));
    }
    QProcess holder;
    if (!held.isEmpty()) {
        const QString path = places.value(held.section('/', 0, 0))
            + (held.contains('/') ? '/' + held.section('/', 1) : QString());
        // As another user where the test may become one; the kernel asks no more of them.
        const QStringList flock {"flock", "-n", path, "sleep", "300"};
        holder.start("setpriv",
                     QStringList {"--reuid", "nobody", "--regid", "nogroup", "--clear-groups", "--"}
                         + flock);
        if (!holder.waitForStarted() || holder.waitForFinished(300))
            holder.start(flock.first(), flock.mid(1));
        QVERIFY(holder.waitForStarted());
        QTRY_VERIFY(readFile(QStringLiteral("/proc/locks"))
                        .contains(" " + QByteArray::number(holder.processId()) + " "));
    }
    const QByteArray package = coreRelease();
    FakeUpdateServer server;
    server.setReply({replyOffering(package)});
    QVERIFY(server.listen());
    HttpTestServer web;
    QVERIFY(web.listen());
    web.serve("/core.zip", HttpTestServer::Response::ok(package));
    const TreeSnapshot before = TreeSnapshot::take(home());

    const Outcome outcome = runUpdater({QStringLiteral("-root"), appDir, QStringLiteral("-q")});
    holder.kill();
    holder.waitForFinished();
    if (box.isEmpty()) {
        QCOMPARE(outcome.exitCode, 0);
        QCOMPARE(outcome.log.filter(QRegularExpression("^box")), QStringList());
        QCOMPARE(readFile(plugin("core.txt")), QByteArray("core 2.0"));
    } else {
        QCOMPARE(outcome.exitCode, 1);
        QCOMPARE(
            outcome.log,
            QStringList {QString(box).replace("{temp}", temp->path()).replace("{app}", appDir)});
        QVERIFY(TreeSnapshot::take(home()) == before);
        QVERIFY(web.requests().isEmpty());
    }
}

// Killed in the middle of its installation: the next run undoes it, without waiting for any
// lock, and then updates.
void TestUpdater::killedUpdaterIsTakenOver()
{
    installCore(temp->path() + QStringLiteral("/hold"));
    const QByteArray package = coreRelease();
    HttpTestServer web;
    QVERIFY(web.listen());
    web.serve("/core.zip", HttpTestServer::Response::ok(package));
    {
        FakeUpdateServer server;
        server.setReply({replyOffering(package)});
        QVERIFY(server.listen());
        QProcessEnvironment first = environment(temp->path() + QStringLiteral("/first.log"));
        first.insert(QStringLiteral("LD_PRELOAD"),
                     first.value(QStringLiteral("LD_PRELOAD")) + ' ' + VORN_FILEOPS_LIBRARY);
        first.insert(QStringLiteral("VORN_FILEOPS_WITHIN"), plugin(QString()));
        // After the backup and the new file, before it takes the old one's place.
        first.insert(QStringLiteral("VORN_FILEOPS_KILL_AT"), QStringLiteral("3"));
        QProcess updater;
        updater.setProcessEnvironment(first);
        updater.start(appDir + QStringLiteral("/vorn-updater"), {QStringLiteral("-q")});
        // The package server runs on this thread's event loop.
        QTRY_VERIFY_WITH_TIMEOUT(updater.state() == QProcess::NotRunning, 30000);
        QCOMPARE(updater.exitStatus(), QProcess::CrashExit);
    }
    QVERIFY(QFileInfo::exists(downloadDir() + QStringLiteral("/journal")));

    FakeUpdateServer server;
    server.setReply({replyOffering(package)});
    QVERIFY(server.listen());
    const Outcome second = runUpdater({QStringLiteral("-q")});
    QCOMPARE(second.exitCode, 0);
    QCOMPARE(second.log.value(0),
             QStringLiteral("box\tInformation\tAktualizuj\tPrzerwana "
                            "aktualizacja została cofnięta.\tOk\tOk"));
    QCOMPARE(readFile(plugin("core.txt")), QByteArray("core 2.0"));
    QVERIFY(!QFileInfo::exists(downloadDir() + QStringLiteral("/journal")));
}

QTEST_GUILESS_MAIN(TestUpdater)

#include "tst_updater.moc"
