// Downloads the one package that the update server offers through the engine's real check and
// download, and prints how long the download took and the peak resident memory.
//
//   vorn-bench-download EXPECTED_BYTES [--stall]
//
// --stall blocks the event loop for 200 ms in every 300 ms, as a disk that holds up each write
// would: the memory the download takes must not grow with what arrives meanwhile.
//
// Needs the update server on 127.0.0.1:443, the messenger stand-in beside this program and the
// package on port 80. The download directory is $TMPDIR/tupdates/.

#include "benchclock.h"
#include "messageboxprompter.h"
#include "startup.h"
#include "update.h"
#include "vornupdaterengine.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QTimer>
#include <QUrl>

#include <cstdio>

#include <unistd.h>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const qint64 expected = argc > 1 ? QByteArray(argv[1]).toLongLong() : -1;

    // The benchmark's package carries a digest and a size, no signature: it is checked as a
    // published one would be, but for the signature over its statement, which costs nothing.
    RunSettings settings = Startup::settingsOf(QProcessEnvironment::systemEnvironment());
    settings.packageKeys.clear();
    MessageBoxPrompter prompter;
    VornUpdaterEngine engine(Startup::installationOf(QCoreApplication::arguments()), settings,
                             prompter);
    if (engine.checkUpdates().isFailure() || engine.getUpdates().size() != 1) {
        std::fprintf(stderr, "vorn-bench-download: the check offered no single update\n");
        return 1;
    }
    const QString target = engine.getDownloadDir()
        + QUrl(QString::fromStdString(engine.getUpdates().first().getLink())).path();
    QFile::remove(target);

    int progressSignals = 0;
    double started = 0;
    double finished = 0;
    QObject::connect(&engine, &VornUpdaterEngine::downloadProgress, [&] { ++progressSignals; });
    QObject::connect(&engine, &VornUpdaterEngine::downloadFinished, [&] {
        finished = BenchClock::now();
        QCoreApplication::exit(0);
    });
    QObject::connect(&engine, &VornUpdaterEngine::failed, [](const Failure &failure) {
        std::fprintf(stderr, "vorn-bench-download: %s\n", qPrintable(failure.text()));
        QCoreApplication::exit(1);
    });
    QTimer stall;
    QObject::connect(&stall, &QTimer::timeout, [] { ::usleep(200 * 1000); });
    if (QCoreApplication::arguments().contains(QStringLiteral("--stall")))
        stall.start(300);
    const qint64 peakBefore = BenchClock::peakResidentKiB();
    // The window starts the download from the event loop; so does this.
    QMetaObject::invokeMethod(
        &engine,
        [&] {
            started = BenchClock::now();
            engine.beginDownload();
        },
        Qt::QueuedConnection);
    if (app.exec() != 0)
        return 1;

    const qint64 size = QFileInfo(target).size();
    if (expected >= 0 && size != expected) {
        std::fprintf(stderr, "vorn-bench-download: %s holds %lld bytes, not %lld\n",
                     qPrintable(target), size, expected);
        return 1;
    }
    std::printf("seconds=%.4f\nvmhwm_kib=%lld\nvmhwm_before_kib=%lld\nprogress_signals=%d\n",
                finished - started, BenchClock::peakResidentKiB(), peakBefore, progressSignals);
    QFile::remove(target);
    return 0;
}
