#include "benchclock.h"
#include "fakeupdateserver.h"
#include "httptestserver.h"
#include "standinmessenger.h"
#include "testinstallation.h"
#include "vornupdaterengine.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const qint64 packageSize = 300LL * 1024 * 1024;
const qint64 allowedGrowth = 64LL * 1024 * 1024;

// Peak resident memory of this process so far, in bytes.
qint64 peakResident()
{
    return BenchClock::peakResidentKiB() * 1024;
}

} // namespace

class TestDownloadLarge : public QObject
{
    Q_OBJECT

private slots:
    void largePackageStreamsToDisk();
};

// A package of several hundred MB must go to disk as it arrives, not through memory.
void TestDownloadLarge::largePackageStreamsToDisk()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    qputenv("TMPDIR", QFile::encodeName(temp.path()));
    // Unsigned, whatever keys the build trusts: the package is a generated stream.
    RunSettings settings = testSettings();
    settings.packageKeys.clear();
    VornUpdaterEngine engine(testInstallation(), settings, testPrompter());
    QList<int> percents;
    connect(&engine, &VornUpdaterEngine::downloadProgress, this,
            [&](int done) { percents.append(done); });
    QSignalSpy finished(&engine, &VornUpdaterEngine::downloadFinished);
    QSignalSpy errors(&engine, &VornUpdaterEngine::failed);

    {
        FakeUpdateServer updateServer;
        updateServer.setBehaviour(FakeUpdateServer::AnswerAndClose);
        const QByteArray reply = "<update><request project='im' name='big' type='app'>"
                                 "<link>http://127.0.0.1/big.zip</link></request></update>";
        QVERIFY(StandInMessenger::writeAskingFor(reply));
        updateServer.setReply({reply});
        QVERIFY(updateServer.listen());
        QVERIFY(!engine.checkUpdates().isFailure());
    }
    QCOMPARE(engine.getUpdates().size(), 1);

    HttpTestServer server;
    QVERIFY(server.listen());
    server.serve("/big.zip", HttpTestServer::Response::generated(packageSize));

    const qint64 before = peakResident();
    QVERIFY(before > 0);
    engine.beginDownload();
    QVERIFY(finished.wait(240000));
    const qint64 growth = peakResident() - before;
    qInfo("peak resident memory grew by %lld KiB", growth / 1024);
    QVERIFY2(growth < allowedGrowth, qPrintable(QString::number(growth)));
    QCOMPARE(errors.count(), 0);

    // 64-bit percentages: never negative, never falling, whole at the end.
    QVERIFY(!percents.isEmpty());
    QVERIFY(std::is_sorted(percents.cbegin(), percents.cend()));
    QVERIFY(percents.first() >= 0);
    QCOMPARE(percents.last(), 100);

    QFile file(engine.getDownloadDir() + QStringLiteral("big.zip"));
    QCOMPARE(file.size(), packageSize);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCryptographicHash received(QCryptographicHash::Sha256);
    QCryptographicHash sent(QCryptographicHash::Sha256);
    const qint64 block = 4 * 1024 * 1024;
    for (qint64 offset = 0; offset < packageSize; offset += block) {
        received.addData(file.read(block));
        sent.addData(HttpTestServer::pattern(offset, qMin(block, packageSize - offset)));
    }
    QCOMPARE(received.result(), sent.result());
}

QTEST_MAIN(TestDownloadLarge)
#include "tst_downloadlarge.moc"
