// Installs a package through the real package installer, only unpacks it, rebuilds a patch
// package, or runs a whole update, and prints how long that took.
//
//   vorn-bench-install install DOWNLOAD_DIR LINK -root ROOT
//       installs DOWNLOAD_DIR/<path of LINK> as component vorn/core/app into ROOT
//   vorn-bench-install unpack ARCHIVE TARGET_DIR
//       unpacks ARCHIVE below TARGET_DIR with the archive extractor alone
//   vorn-bench-install rebuild PATCH PATCH_LINK ROOT DOWNLOAD_DIR
//       rebuilds the package of vorn/core/app that the patch makes of the installation in ROOT,
//       unpacked into DOWNLOAD_DIR/core/
//   vorn-bench-install update -root ROOT
//       the engine's check, download and installation run into ROOT, as the windows drive
//       them; needs the update server on 127.0.0.1:443 and the messenger stand-in beside this
//       program

#include "archiveextractor.h"
#include "benchclock.h"
#include "downloaddirectory.h"
#include "messageboxprompter.h"
#include "patchpackage.h"
#include "pathbeneath.h"
#include "startup.h"
#include "vornupdatepackage.h"
#include "vornupdaterengine.h"

#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QProcessEnvironment>
#include <QTimer>
#include <QUrl>

#include <cstdio>
#include <cstdlib>

namespace {

int usage()
{
    std::fprintf(stderr,
                 "usage: vorn-bench-install install DOWNLOAD_DIR LINK -root ROOT\n"
                 "       vorn-bench-install unpack ARCHIVE TARGET_DIR\n"
                 "       vorn-bench-install rebuild PATCH PATCH_LINK ROOT DOWNLOAD_DIR\n"
                 "       vorn-bench-install update -root ROOT\n");
    return 2;
}

// A failing run shows a modal box, which nobody would answer here.
void failOnMessageBox()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *box = qobject_cast<QMessageBox *>(widget); box && box->isVisible()) {
            std::fprintf(stderr, "vorn-bench-install: %s\n", qPrintable(box->text()));
            std::_Exit(1);
        }
    }
}

// The directory, opened for what is worked on beneath it; the reason on stderr when it cannot
// be used.
bool openDirectory(DownloadDirectory &directory)
{
    const Failure failure = directory.open();
    if (failure)
        std::fprintf(stderr, "vorn-bench-install: %s\n", qPrintable(failure.text()));
    return !failure;
}

int unpack(const QString &archive, const QString &targetDir)
{
    // Both may lie anywhere: beneath the root, as absolute paths.
    const FileDescriptor root = PathBeneath::openDirectory(QStringLiteral("/"));
    ArchiveExtractor extractor(root.get(), PathBeneath::cleanAbsolute(archive),
                               PathBeneath::cleanAbsolute(targetDir) + QLatin1Char('/'));
    const double started = BenchClock::now();
    const Failure failure = extractor.extract();
    const double finished = BenchClock::now();
    if (failure) {
        std::fprintf(stderr, "vorn-bench-install: unpacking failed: %s\n",
                     qPrintable(failure.text()));
        return 1;
    }
    std::printf("seconds=%.4f\nfiles=%lld\n", finished - started,
                qlonglong(extractor.getUnpackedFiles().size()));
    return 0;
}

int install(const QString &downloadDir, const QString &link)
{
    VornUpdatePackage package(
        {QStringLiteral("vorn"), QStringLiteral("core"), QStringLiteral("app")}, QUrl(link).path(),
        Startup::installationOf(QCoreApplication::arguments()));
    if (package.rootFailure()) {
        std::fprintf(stderr, "vorn-bench-install: %s\n", qPrintable(package.rootFailure().text()));
        return 1;
    }
    QStringList files;
    const double started = BenchClock::now();
    DownloadDirectory downloads(downloadDir);
    if (!openDirectory(downloads))
        return 1;
    const Failure failure = package.install(downloads, files);
    const double finished = BenchClock::now();
    if (failure) {
        std::fprintf(stderr, "vorn-bench-install: install failed: %s\n",
                     qPrintable(failure.text()));
        return 1;
    }
    std::printf("seconds=%.4f\nfiles=%lld\nbackups=%lld\n", finished - started,
                qlonglong(files.size()), qlonglong(package.getBackupFiles().size()));
    return 0;
}

int rebuild(const QString &patch, const QString &link, const QString &root, const QString &dir)
{
    // The patch is read where the download leaves it, in the download directory.
    DownloadDirectory downloads(dir);
    downloads.create();
    const QString body = QStringLiteral("patch.zip");
    QFile::remove(downloads.location() + QLatin1Char('/') + body);
    if (!openDirectory(downloads)
        || !QFile::copy(patch, downloads.location() + QLatin1Char('/') + body))
        return 1;
    PatchPackage package(body, QUrl(link).path(), -1);
    const double started = BenchClock::now();
    const Failure failure
        = package.rebuild({QStringLiteral("vorn"), QStringLiteral("core"), QStringLiteral("app")},
                          root, downloads, QStringLiteral("/full.zip"));
    const double finished = BenchClock::now();
    if (failure) {
        std::fprintf(stderr, "vorn-bench-install: %s\n", qPrintable(failure.text()));
        return 1;
    }
    std::printf("seconds=%.4f\nfiles=%lld\n", finished - started,
                qlonglong(package.unpackedFiles().size()));
    return 0;
}

// The benchmark's packages carry a digest and a size, no signature, as in the download driver.
int update()
{
    QTimer boxWatch;
    QObject::connect(&boxWatch, &QTimer::timeout, &failOnMessageBox);
    boxWatch.start(100);

    RunSettings settings = Startup::settingsOf(QProcessEnvironment::systemEnvironment());
    settings.packageKeys.clear();
    MessageBoxPrompter prompter;
    VornUpdaterEngine engine(Startup::installationOf(QCoreApplication::arguments()), settings,
                             prompter);
    double downloaded = 0;
    QObject::connect(&engine, &VornUpdaterEngine::downloadFinished,
                     [&downloaded] { downloaded = BenchClock::now(); });
    QObject::connect(&engine, &VornUpdaterEngine::downloadFinished, &engine,
                     &VornUpdaterEngine::installUpdates);
    QObject::connect(&engine, &VornUpdaterEngine::installFinished,
                     [] { QCoreApplication::exit(0); });
    QObject::connect(&engine, &VornUpdaterEngine::failed, [](const Failure &failure) {
        std::fprintf(stderr, "vorn-bench-install: %s\n", qPrintable(failure.text()));
        QCoreApplication::exit(1);
    });
    const double started = BenchClock::now();
    if (engine.checkUpdates().isFailure() || engine.getUpdates().size() != 1) {
        std::fprintf(stderr, "vorn-bench-install: the check offered no single update\n");
        return 1;
    }
    const double checked = BenchClock::now();
    // The window starts the download from the event loop; so does this.
    QMetaObject::invokeMethod(&engine, &VornUpdaterEngine::beginDownload, Qt::QueuedConnection);
    if (QCoreApplication::exec() != 0 || !engine.isInstallSucceeded())
        return 1;
    const double finished = BenchClock::now();
    std::printf("seconds=%.4f\ncheck=%.4f\ndownload=%.4f\ninstall=%.4f\n", finished - started,
                checked - started, downloaded - checked, finished - downloaded);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() >= 6 && arguments.at(1) == QLatin1String("install"))
        return install(arguments.at(2), arguments.at(3));
    if (arguments.size() == 4 && arguments.at(1) == QLatin1String("unpack"))
        return unpack(arguments.at(2), arguments.at(3));
    if (arguments.size() == 6 && arguments.at(1) == QLatin1String("rebuild"))
        return rebuild(arguments.at(2), arguments.at(3), arguments.at(4), arguments.at(5));
    if (arguments.size() == 4 && arguments.at(1) == QLatin1String("update"))
        return update();
    return usage();
}
