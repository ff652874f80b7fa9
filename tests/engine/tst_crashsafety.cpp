#include "fakeupdateserver.h"
#include "messageboxanswerer.h"
#include "offer.h"
#include "standinmessenger.h"
#include "testfiles.h"
#include "testinstallation.h"
#include "treesnapshot.h"
#include "vornupdatepackage.h"
#include "vornupdaterengine.h"
#include "zipbuilder.h"

#include "installationdirectory.h"
#include <QApplication>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <vector>

#include <csignal>
#include <sys/mount.h>

namespace {

const QStringList packageNames {"alpha", "beta", "gamma"};

QByteArray bigContent(const QByteArray &seed)
{
    return seed.repeated(20000); // large enough that a copy takes several writes
}

// The installation as it stands before every run.
void populateRoot(const QString &root)
{
    writeFile(root + "/vorn", "messenger");
    for (const QString &name : packageNames) {
        for (int i = 0; i < 4; ++i)
            writeFile(QStringLiteral("%1/%2/file%3").arg(root, name).arg(i),
                      bigContent(QStringLiteral("old %1 %2;").arg(name).arg(i).toUtf8()));
        writeFile(QStringLiteral("%1/%2/gone1").arg(root, name), "to be removed 1");
        writeFile(QStringLiteral("%1/%2/gone2").arg(root, name), "to be removed 2");
    }
    // Replaced by every package: restoring must bring back the oldest copy.
    writeFile(root + "/shared/common.conf", "original settings");
    QFile::setPermissions(root + "/alpha/file0",
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// Each package replaces four files, removes two, adds two (one in a new directory), and replaces
// the shared file.
void publishPackages(const QString &downloadDir)
{
    for (const QString &name : packageNames) {
        const QByteArray n = name.toUtf8();
        QList<QList<QByteArray>> entries;
        ZipBuilder zip;
        for (int i = 0; i < 4; ++i) {
            const QByteArray file = "file" + QByteArray::number(i);
            entries.append({n, file, "add"});
            zip.addFile(n + "/" + file, bigContent("new " + n + " " + QByteArray::number(i) + ";"));
        }
        entries.append({n, "gone1", "remove"});
        entries.append({n, "gone2", "remove"});
        for (const QByteArray &path : {n, n + "/new"}) {
            const QByteArray added = path == n ? "added1" : "added2";
            entries.append({path, added, "add"});
            zip.addFile(path + "/" + added, bigContent("added " + n + ";"));
        }
        entries.append({"shared", "common.conf", "add"});
        zip.addFile("shared/common.conf", "settings of " + n);
        zip.addFile(n + ".xml", ZipBuilder::manifest("im", n, "app", entries));
        zip.write(downloadDir + "/" + name + ".zip");
    }
}

// Child mode: runs the installation and kills itself before its Nth file operation.
int runAndKill(int killAt)
{
    VornUpdaterEngine engine(testInstallation(), testSettings(), testPrompter());
    QList<Offer> offers;
    for (const QString &name : packageNames)
        offers.append({name.toUtf8()});
    FakeUpdateServer server;
    server.setReply({replyOffering(offers, "im", "app")});
    if (!server.listen() || engine.checkUpdates().isFailure())
        return 2;
    int operations = 0;
    VornUpdatePackage::setChangeHook([&operations, killAt] {
        if (++operations == killAt)
            std::raise(SIGKILL);
    });
    engine.installUpdates();
    return engine.isInstallSucceeded() ? 0 : 3;
}

} // namespace

class TestCrashSafety : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void killedRunIsUndoneAtNextStart_data();
    void killedRunIsUndoneAtNextStart();
    void untrustedJournal_data();
    void untrustedJournal();
    void fullDiskTakesTheBackupBack();
    void powerCutLeavesAWayBack_data();
    void powerCutLeavesAWayBack();

private:
    QString rootDir() const { return QDir::tempPath() + "/root"; }
    QString downloadDir() const { return QDir::tempPath() + "/tupdates"; }
};

void TestCrashSafety::initTestCase()
{
    const QString dir = QCoreApplication::applicationDirPath();
    // gamma is new to the installation: the messenger does not report it.
    QVERIFY(StandInMessenger::writeAskingFor(replyOffering({{"alpha"}, {"beta"}}, "im", "app")));
    QVERIFY(writeFile(dir + "/fix.sh", "true\n"));
}

void TestCrashSafety::killedRunIsUndoneAtNextStart_data()
{
    // 3 packages of 4 replaced, 2 removed, 2 added and 1 shared file: 45 file operations.
    QTest::addColumn<int>("killAt");
    for (int point = 0; point < 30; ++point) {
        const int killAt = 1 + point * 44 / 29;
        QTest::addRow("before operation %d", killAt) << killAt;
    }
}

void TestCrashSafety::killedRunIsUndoneAtNextStart()
{
    QFETCH(int, killAt);
    QDir(rootDir()).removeRecursively();
    QDir(downloadDir()).removeRecursively();
    populateRoot(rootDir());
    QVERIFY(QDir().mkpath(downloadDir()));
    publishPackages(downloadDir());
    const TreeSnapshot before = TreeSnapshot::take(rootDir());

    // The killed run reports, and leaves its report to the next.
    QTemporaryDir state;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("VORN_NO_REPORTS"));
    environment.insert(QStringLiteral("XDG_STATE_HOME"), state.path());
    QProcess child;
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(QCoreApplication::applicationFilePath(),
                {"--kill-at", QString::number(killAt), "-root", rootDir()});
    QVERIFY(child.waitForFinished(60000));
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);

    // The next start: the engine finds the journal before its update check.
    MessageBoxAnswerer boxes;
    RunSettings settings = testSettings();
    settings.installReports = true;
    settings.stateDirectory = state.filePath(QStringLiteral("vorn-updater"));
    {
        VornUpdaterEngine engine(testInstallation(), settings, testPrompter());
        engine.recoverInterruptedRun();
    }
    QCOMPARE(boxes.count(), 1);
    // gamma, new to the installation, has no version before.
    const QDir reports(settings.stateDirectory + QStringLiteral("/reports"));
    const QStringList queued = reports.entryList(QDir::Files);
    QCOMPARE(queued.size(), 1);
    QCOMPARE(readFile(reports.filePath(queued.constFirst())),
             QByteArray(R"(<report version="1">)"
                        R"(<package component="alpha" project="im" type="app" from="1.0" to="2.0" )"
                        R"(delivery="whole" outcome="recovered" reason="none"/>)"
                        R"(<package component="beta" project="im" type="app" from="1.0" to="2.0" )"
                        R"(delivery="whole" outcome="recovered" reason="none"/>)"
                        R"(<package component="gamma" project="im" type="app" to="2.0" )"
                        R"(delivery="whole" outcome="recovered" reason="none"/></report>)"));
    QCOMPARE(boxes.last().icon, QMessageBox::Information);
    QCOMPARE(boxes.last().text, QStringLiteral("An interrupted update was undone."));

    const TreeSnapshot after = TreeSnapshot::take(rootDir());
    for (auto it = before.entries().cbegin(); it != before.entries().cend(); ++it)
        QVERIFY2(after.entries().value(it.key()) == it.value(),
                 qPrintable(QStringLiteral("%1 differs after recovery from a kill before "
                                           "operation %2")
                                .arg(it.key())
                                .arg(killAt)));
    // Only files that a package added where none stood may remain, and only whole, with the
    // directory one of them was added in.
    for (auto it = after.entries().cbegin(); it != after.entries().cend(); ++it) {
        if (before.entries().contains(it.key())
            || (it.key().endsWith(QLatin1String("/new"))
                && it.value().kind == TreeSnapshot::Entry::Directory))
            continue;
        QVERIFY2(it.key().endsWith(QLatin1String("/added1"))
                     || it.key().endsWith(QLatin1String("/added2")),
                 qPrintable(it.key()));
        const QString package = it.key().section(QLatin1Char('/'), 0, 0);
        QCOMPARE(it.value().content, bigContent("added " + package.toUtf8() + ";"));
    }
    // The journal is gone: a second start finds nothing to undo.
    MessageBoxAnswerer again;
    VornUpdaterEngine engine(testInstallation(), testSettings(), testPrompter());
    engine.recoverInterruptedRun();
    QCOMPARE(again.count(), 0);
}

void TestCrashSafety::untrustedJournal_data()
{
    QTest::addColumn<QByteArray>("journal");
    QTest::addColumn<bool>("othersMayWrite");
    QTest::addColumn<QString>("outcome"); // ignored, discarded or undone

    const QByteArray root = QFile::encodeName(rootDir());
    const QByteArray downloads = QFile::encodeName(downloadDir());
    const QByteArray backups = downloads + "//alpha//unwind/";
    QTest::newRow("as the updater writes it") << root + "\t" + backups + "\n" << false << "undone";
    // Anyone may make the download directory first; a journal in it then names what they like.
    QTest::newRow("in a directory others can write") << root + "\t" + backups + "\n"
                                                     << true << "ignored";
    QTest::newRow("backups outside a package's unwind directory") << root + "\t" + downloads
            + "/planted\n" << false << "discarded";
    QTest::newRow("backups beside the download directory") << root + "\t" + downloads
            + "/../alpha/unwind/\n" << false << "discarded";
    QTest::newRow("installation directory not the messenger's")
        << QFile::encodeName(QDir::homePath()) + "\t" + backups + "\n"
        << false << "discarded";
    QTest::newRow("cut short") << root + "\t" + backups << false << "discarded";
    QTest::newRow("a field too many") << root + "\t" + backups + "\tx\n" << false << "discarded";
    QTest::newRow("empty") << QByteArray() << false << "discarded";
}

// Recovery puts back only backups the updater itself made, into the installation it made them
// of; a journal it did not write is dropped with the download directory's files.
void TestCrashSafety::untrustedJournal()
{
    QFETCH(QByteArray, journal);
    QFETCH(bool, othersMayWrite);
    QFETCH(QString, outcome);
    QDir(rootDir()).removeRecursively();
    QDir(downloadDir()).removeRecursively();
    populateRoot(rootDir());
    QVERIFY(writeFile(downloadDir() + "/alpha/unwind/alpha/file0", "backup"));
    QVERIFY(writeFile(downloadDir() + "/planted/alpha/file0", "planted"));
    QVERIFY(writeFile(downloadDir() + "/journal", journal));
    QVERIFY(QFile::setPermissions(
        downloadDir(),
        QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
            | (othersMayWrite ? QFile::WriteOther | QFile::ExeOther : QFile::Permissions())));
    const TreeSnapshot before = TreeSnapshot::take(rootDir());

    MessageBoxAnswerer boxes;
    {
        VornUpdaterEngine engine(testInstallation(), testSettings(), testPrompter());
        engine.recoverInterruptedRun();
    }
    QCOMPARE(boxes.count(), outcome == "undone" ? 1 : 0);
    QCOMPARE(QFileInfo::exists(downloadDir() + "/journal"), outcome == "ignored");
    QCOMPARE(QFileInfo::exists(downloadDir() + "/planted/alpha/file0"), outcome == "ignored");
    if (outcome == "undone") {
        QCOMPARE(boxes.last().text, QStringLiteral("An interrupted update was undone."));
        QCOMPARE(readFile(rootDir() + "/alpha/file0"), QByteArray("backup"));
    } else {
        QVERIFY2(TreeSnapshot::take(rootDir()) == before,
                 qPrintable(before.differences(TreeSnapshot::take(rootDir()))));
    }
}

// A run killed on a full disk: its file's space must take the backup, or the restart cannot
// undo it.
void TestCrashSafety::fullDiskTakesTheBackupBack()
{
    QDir(rootDir()).removeRecursively();
    QVERIFY(QDir().mkpath(rootDir()));
    const QByteArray root = QFile::encodeName(rootDir());
    QCOMPARE(::mount("tmpfs", root.constData(), "tmpfs", 0, "size=1m"), 0);
    const auto unmount = qScopeGuard([&] { ::umount2(root.constData(), MNT_DETACH); });
    const QByteArray old = bigContent("old;");
    QVERIFY(writeFile(rootDir() + "/file", bigContent("new;")));
    const QString backup = QDir::tempPath() + "/backup";
    QVERIFY(writeFile(backup, old));
    QFile filler(rootDir() + "/filler");
    QVERIFY(filler.open(QIODevice::WriteOnly));
    while (filler.write(QByteArray(4096, 'f')) == 4096 && filler.flush()) { }

    InstallationDirectory installation;
    QVERIFY(installation.open(rootDir()));
    QVERIFY(installation.restore("file", backup));
    QCOMPARE(readFile(rootDir() + "/file"), old);
}

void TestCrashSafety::powerCutLeavesAWayBack_data()
{
    QTest::addColumn<bool>("otherFileSystem"); // backups as copies instead of second names
    QTest::newRow("backups as second names") << false;
    QTest::newRow("backups as copies, on another file system") << true;
}

// A power cut loses what is not on the disk yet, whatever order the program wrote it in. The
// order of a whole run's writes, syncs, renames and removals, as a preloaded recorder sees them,
// must leave a way back at every moment: the journal line reaches the disk before the first
// change it describes, a backup before the change of its file, and a rename's directory right
// after the rename. The run's end flushes no whole file system, so every change in the
// installation reaches the disk before the journal goes.
void TestCrashSafety::powerCutLeavesAWayBack()
{
    QFETCH(bool, otherFileSystem);
    QDir(rootDir()).removeRecursively();
    QDir(downloadDir()).removeRecursively();
    QVERIFY(QDir().mkpath(rootDir()));
    const QByteArray root = QFile::encodeName(rootDir());
    if (otherFileSystem)
        QCOMPARE(::mount("tmpfs", root.constData(), "tmpfs", 0, "size=16m"), 0);
    const auto unmount = qScopeGuard([&] {
        if (otherFileSystem)
            ::umount2(root.constData(), MNT_DETACH);
    });
    populateRoot(rootDir());
    QVERIFY(QDir().mkpath(downloadDir()));
    publishPackages(downloadDir());

    const QString log = QDir::tempPath() + "/operations.log";
    QFile::remove(log);
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("LD_PRELOAD", VORN_FILEOPS_LIBRARY);
    environment.insert("VORN_FILEOPS_LOG", log);
    environment.insert("VORN_FILEOPS_WITHIN", rootDir() + ":" + downloadDir());
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(QCoreApplication::applicationFilePath(), {"--kill-at", "0", "-root", rootDir()});
    QVERIFY(child.waitForFinished(60000));
    QCOMPARE(child.exitCode(), 0);

    struct Operation
    {
        QString kind;
        QString path; // the one changed: a rename's or a link's target
        QString from;
    };
    QList<Operation> operations;
    for (const QByteArray &line : readFile(log).split('\n')) {
        const QStringList fields = QString::fromUtf8(line).split(QLatin1Char('\t'));
        if (fields.size() >= 2)
            operations.append(
                {fields.at(0), QDir::cleanPath(fields.constLast()), QDir::cleanPath(fields.at(1))});
    }
    const QString journal = QDir::cleanPath(downloadDir() + "/journal");
    const auto changes = [](const Operation &o) {
        return o.kind == u"rename" || o.kind == u"unlink" || o.kind == u"link" || o.kind == u"mkdir"
            || o.kind == u"open";
    };
    const auto inRoot = [&](const QString &path) { return path.startsWith(rootDir() + '/'); };
    // Whether the file or directory reached the disk between the two operations.
    const auto synced = [&](qsizetype from, qsizetype to, const QString &path) {
        for (qsizetype i = from; i < to; ++i) {
            const Operation &o = operations.at(i);
            if ((o.kind == u"fsync" || o.kind == u"fdatasync") && o.path == path)
                return true;
        }
        return false;
    };
    const auto nextChange = [&](qsizetype after, const std::function<bool(const Operation &)> &is) {
        qsizetype i = after + 1;
        while (i < operations.size() && !(changes(operations.at(i)) && is(operations.at(i))))
            ++i;
        return i;
    };

    const qsizetype journalRemoved = nextChange(
        -1, [&](const Operation &c) { return c.kind == u"unlink" && c.path == journal; });
    QVERIFY(journalRemoved < operations.size());
    qsizetype journalLines = 0;
    qsizetype backups = 0;
    qsizetype madeOrRemoved = 0;
    for (qsizetype i = 0; i < operations.size(); ++i) {
        const Operation &o = operations.at(i);
        if (o.kind == u"write" && o.path == journal) {
            ++journalLines;
            const qsizetype change
                = nextChange(i, [&](const Operation &c) { return inRoot(c.path); });
            QVERIFY2(synced(i, change, journal), qPrintable(QString::number(i)));
        }
        const qsizetype unwind = o.path.indexOf(QLatin1String("/unwind/"));
        if ((o.kind == u"link" || o.kind == u"rename") && unwind > 0) {
            ++backups;
            if (o.kind == u"rename")
                QVERIFY2(synced(0, i, o.from), qPrintable(o.from)); // the copy's bytes
            const QString file = rootDir() + o.path.mid(unwind + 7);
            const qsizetype change = nextChange(
                i, [&](const Operation &c) { return c.path == file && c.kind != u"open"; });
            QVERIFY2(change < operations.size(), qPrintable(file));
            QVERIFY2(synced(i, change, QFileInfo(o.path).path()), qPrintable(o.path));
        }
        if (o.kind == u"rename") {
            const qsizetype change = nextChange(i, [](const Operation &) { return true; });
            QVERIFY2(synced(i, change, QFileInfo(o.path).path()), qPrintable(o.path));
        }
        // A backup's directory, too, is on the disk before the backup is needed.
        if (o.kind == u"mkdir" && unwind > 0) {
            const qsizetype change
                = nextChange(i, [&](const Operation &c) { return inRoot(c.path); });
            QVERIFY2(synced(i, change, QFileInfo(o.path).path()), qPrintable(o.path));
        }
        if ((o.kind == u"mkdir" || o.kind == u"unlink") && inRoot(o.path) && i < journalRemoved) {
            ++madeOrRemoved;
            QVERIFY2(synced(i, journalRemoved, QFileInfo(o.path).path()), qPrintable(o.path));
        }
    }
    QVERIFY(madeOrRemoved >= 3 * packageNames.size());
    QCOMPARE(journalLines, qsizetype(packageNames.size()));
    QVERIFY(backups >= 4 * packageNames.size());
}

int main(int argc, char *argv[])
{
    QTemporaryDir scratch;
    const bool child = argc > 2 && qstrcmp(argv[1], "--kill-at") == 0;
    if (!child)
        qputenv("TMPDIR", QFile::encodeName(scratch.path()));
    if (child) {
        QApplication app(argc, argv);
        return runAndKill(QByteArray(argv[2]).toInt());
    }
    // The next start is the updater started again on the same installation: with its -root.
    QByteArray root = QFile::encodeName(scratch.path() + "/root");
    QByteArray option = "-root";
    std::vector<char *> appArgv(argv, argv + argc);
    appArgv.insert(appArgv.end(), {option.data(), root.data()});
    int appArgc = int(appArgv.size());
    QApplication app(appArgc, appArgv.data());
    TestCrashSafety test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_crashsafety.moc"
