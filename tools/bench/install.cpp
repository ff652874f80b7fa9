// Installs a package through the real package installer, or only unpacks it, and prints how
// long that took.
//
//   vorn-bench-install install DOWNLOAD_DIR LINK -root ROOT
//       installs DOWNLOAD_DIR/<path of LINK> as component vorn/core/app into ROOT
//   vorn-bench-install unpack ARCHIVE TARGET_DIR
//       unpacks ARCHIVE below TARGET_DIR with the archive extractor alone

#include "archiveextractor.h"
#include "benchclock.h"
#include "update.h"
#include "vornupdatepackage.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

namespace {

int usage()
{
    std::fprintf(stderr,
                 "usage: vorn-bench-install install DOWNLOAD_DIR LINK -root ROOT\n"
                 "       vorn-bench-install unpack ARCHIVE TARGET_DIR\n");
    return 2;
}

// A failing package shows a modal box, which nobody would answer here.
void failOnMessageBox()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *box = qobject_cast<QMessageBox *>(widget); box && box->isVisible()) {
            std::fprintf(stderr, "vorn-bench-install: %s\n", qPrintable(box->text()));
            std::_Exit(1);
        }
    }
}

int unpack(const QString &archive, const QString &targetDir)
{
    ArchiveExtractor extractor(archive, targetDir + QLatin1Char('/'));
    const double started = BenchClock::now();
    const ArchiveExtractor::Status status = extractor.extract();
    const double finished = BenchClock::now();
    if (status != ArchiveExtractor::Success) {
        std::fprintf(stderr, "vorn-bench-install: unpacking failed at %s (%s)\n",
                     qPrintable(extractor.getFailedEntry()),
                     qPrintable(extractor.getErrorString()));
        return 1;
    }
    std::printf("seconds=%.4f\nfiles=%lld\n", finished - started,
                qlonglong(extractor.getUnpackedFiles().size()));
    return 0;
}

int install(const QString &downloadDir, const QString &link)
{
    QTimer boxWatch;
    QObject::connect(&boxWatch, &QTimer::timeout, &failOnMessageBox);
    boxWatch.start(100);

    Update update("vorn", "core", "app", "2.0", "", "", "", "", "", "", link.toStdString(), false,
                  0);
    VornUpdatePackage package(&update);
    if (!package.isValid())
        return 1;
    QString errorText;
    QStringList files;
    const double started = BenchClock::now();
    const bool installed = package.install(downloadDir, errorText, files);
    const double finished = BenchClock::now();
    if (!installed) {
        std::fprintf(stderr, "vorn-bench-install: install failed %s\n", qPrintable(errorText));
        return 1;
    }
    std::printf("seconds=%.4f\nfiles=%lld\nbackups=%lld\n", finished - started,
                qlonglong(files.size()), qlonglong(package.getBackupFiles().size()));
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
    return usage();
}
