#include "ed25519.h"
#include "fakeupdateserver.h"
#include "httptestserver.h"
#include "packagestatement.h"
#include "testfiles.h"
#include "vornconfig.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

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
    void terminatedDuringTheDownload();

private:
    struct Outcome
    {
        int exitCode = -1;
        QStringList log;
    };
    Outcome runUpdater(const QStringList &arguments);
    void linkLibrary(const QString &name);

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

TestUpdater::Outcome TestUpdater::runUpdater(const QStringList &arguments)
{
    const QString logPath = temp->path() + QStringLiteral("/driver.log");
    QFile::remove(logPath);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(VORN_DRIVER_LIBRARY));
    environment.insert(QStringLiteral("VORN_DRIVER_LOG"), logPath);
    environment.insert(QStringLiteral("TMPDIR"), temp->path());
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));

    QProcess updater;
    updater.setProcessEnvironment(environment);
    updater.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    updater.start(appDir + QStringLiteral("/vorn-updater"), arguments);
    Outcome outcome;
    if (!updater.waitForFinished(60000)) {
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
    QVERIFY(server.receivedOnceClosed().startsWith("<s><update>"));
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

// Ended by the session (SIGTERM, as at logout) while a package arrives: the updater ends as
// when its window is closed, and the bytes received so far do not stay.
void TestUpdater::terminatedDuringTheDownload()
{
    QFile messenger(appDir + QStringLiteral("/vorn"));
    QVERIFY(messenger.open(QIODevice::WriteOnly));
    messenger.write("#!/bin/sh\nprintf '<s><update><component project=\"vorn\" name=\"core\" "
                    "type=\"plugin\" version=\"1.0\" /></update></s>'\n");
    messenger.close();
    QVERIFY(messenger.setPermissions(QFile::ReadOwner | QFile::ExeOwner));

    // Signed with the key the build trusts, where it has one.
    const qint64 size = 4 << 20;
    PackageStatement statement {"vorn", "core", "plugin", "2.0", size, QByteArray()};
    statement.sha256
        = QCryptographicHash::hash(HttpTestServer::pattern(0, size), QCryptographicHash::Sha256);
    QByteArray vouched = "<sha256>" + statement.sha256.toHex() + "</sha256><size>"
        + QByteArray::number(size) + "</size>";
    if (!QStringLiteral(VORN_PACKAGE_PUBLIC_KEYS).isEmpty()) {
        const QByteArray seed
            = QByteArray::fromBase64(readFile(VORN_SIGNING_KEY).split('\n').value(2));
        const QByteArray text = statement.text();
        vouched += "<signature>"
            + Ed25519::sign(seed, reinterpret_cast<const uchar *>(text.constData()), text.size())
                  .toBase64()
            + "</signature>";
    }
    FakeUpdateServer server;
    server.setReply({"<update><request project='vorn' name='core' type='plugin'><version>2.0"
                     "</version><link>http://127.0.0.1/core.zip</link>"
                     + vouched + "</request></update>"});
    QVERIFY(server.listen());
    HttpTestServer web;
    QVERIFY(web.listen());
    HttpTestServer::Response held = HttpTestServer::Response::generated(size);
    held.pieces = {100000};
    web.serve("/core.zip", held);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), temp->path());
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    QProcess updater;
    updater.setProcessEnvironment(environment);
    updater.start(appDir + QStringLiteral("/vorn-updater"), {QStringLiteral("-q")});
    const QString body = temp->path() + QStringLiteral("/tupdates/downloading/0");
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(body).size() > 0, 30000);
    ::kill(pid_t(updater.processId()), SIGTERM);
    QTRY_VERIFY_WITH_TIMEOUT(updater.state() == QProcess::NotRunning, 30000);
    QCOMPARE(updater.exitStatus(), QProcess::NormalExit);
    QCOMPARE(updater.exitCode(), 0);
    QVERIFY(!QFileInfo::exists(body));
    QVERIFY(!QFileInfo::exists(temp->path() + QStringLiteral("/tupdates/core.zip")));
}

QTEST_GUILESS_MAIN(TestUpdater)

#include "tst_updater.moc"
