#include "startup.h"

#include "downloaddirectory.h"
#include "fontconfigpreloader.h"
#include "messageboxprompter.h"
#include "packageverifier.h"
#include "terminationwatcher.h"
#include "translated.h"
#include "vornchangelogdialog.h"
#include "vornconfig.h"
#include "vorndownloaddialog.h"
#include "vornupdaterengine.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QPointer>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTranslator>

#include <exception>

// Outside any namespace: the macro declares the bundle's initialiser at block scope.
static void registerBundle()
{
    Q_INIT_RESOURCE(updater);
}

namespace Startup {

namespace {

QString updateTitle()
{
    return translated("Update", "program update");
}

} // namespace

Installation installationOf(const QStringList &arguments)
{
    Installation installation = Installation::fromCommandLine(
        arguments, QCoreApplication::applicationFilePath(), QDir::homePath(),
        DownloadDirectory::choose(
            QStandardPaths::writableLocation(QStandardPaths::TempLocation),
            QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation)));
    // Read as it is: Qt's own look-up makes a directory of its own when the variable is unset.
    installation.runtimeDir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return installation;
}

RunSettings settingsOf(const QProcessEnvironment &environment)
{
    RunSettings settings;
    settings.updateServerHost = QStringLiteral(VORN_UPDATE_SERVER_HOST);
    settings.packageKeys = PackageVerifier::splitKeys(QStringLiteral(VORN_PACKAGE_PUBLIC_KEYS));
    settings.replyKeys = PackageVerifier::splitKeys(QStringLiteral(VORN_REPLY_PUBLIC_KEYS));
    settings.maximumPackageSize = VORN_MAXIMUM_PACKAGE_SIZE;
    settings.proxies = ProxyEnvironment(environment);
    // The XDG base directories: a relative path in the variable is ignored, as XDG asks.
    const auto baseDirectory = [&environment](const char *variable, const QString &fallback) {
        const QString set = environment.value(QLatin1String(variable));
        return QDir::isAbsolutePath(set)
            ? set
            : environment.value(QStringLiteral("HOME"), QDir::homePath()) + fallback;
    };
    settings.stateDirectory = baseDirectory("XDG_STATE_HOME", QStringLiteral("/.local/state"))
        + QStringLiteral("/vorn-updater");
    settings.installReports = VORN_INSTALL_REPORTS
        && environment.value(QStringLiteral("VORN_NO_REPORTS")) != u"1"
        && !QFileInfo::exists(baseDirectory("XDG_CONFIG_HOME", QStringLiteral("/.config"))
                              + QStringLiteral("/vorn-updater/no-reports"));
    return settings;
}

bool isQuietMode(const QStringList &arguments)
{
    return arguments.mid(1).contains(QStringLiteral("-q"));
}

bool privateQtIsBroken(const QString &applicationDir)
{
    static const char *const guardedLibraries[] = {
        "libphonon.so.4", "libQtGui.so.4",     "libQtOpenGL.so.4", "libQtXml.so.4",
        "libQtCore.so.4", "libQtNetwork.so.4", "libQtWebKit.so.4",
    };
    for (const char *library : guardedLibraries) {
        const QFileInfo info(applicationDir + QStringLiteral("/qt_libs/") + QLatin1String(library));
        // A dangling link does not exist and passes.
        if (info.exists() && info.isSymLink()) {
            QMessageBox::critical(nullptr, updateTitle(),
                                  translated("Detected symlinks to qt library. Aborting updater!"));
            return true;
        }
    }
    return false;
}

int guarded(const std::function<int()> &body)
{
    try {
        return body();
    } catch (const std::exception &e) {
        QMessageBox::critical(nullptr, updateTitle(), QString::fromLatin1(e.what()));
        return 1;
    } catch (...) {
        return 1;
    }
}

int run(QApplication &app, FontconfigPreloader &fonts)
{
    registerBundle();
    QTranslator translator;
    if (privateQtIsBroken(QCoreApplication::applicationDirPath()))
        return 1;
    if (translator.load(QStringLiteral(VORN_CATALOGUE)))
        app.installTranslator(&translator);
    const bool quiet = isQuietMode(app.arguments());

    return guarded([&] {
        const TerminationWatcher termination;
        // Ended before it began: nothing is touched.
        if (termination.hasReceived())
            return 0;
        MessageBoxPrompter prompter;
        VornUpdaterEngine engine(installationOf(app.arguments()),
                                 settingsOf(QProcessEnvironment::systemEnvironment()), prompter);
        QObject::connect(&engine, &VornUpdaterEngine::quitRequested, &app, &QCoreApplication::quit);
        // Touches nothing of the run that holds the locks, whatever the mode.
        if (const Failure locked = engine.lockRun()) {
            if (locked.kind() != Failure::Lock) {
                QMessageBox::critical(nullptr, updateTitle(), locked.text());
                return 1;
            }
            qWarning("vorn-updater: %s", qPrintable(locked.text()));
            QMessageBox::information(nullptr, updateTitle(),
                                     translated("Another update of the messenger is running."));
            return 0;
        }
        engine.recoverInterruptedRun();
        // Not before the application object: the lock's and the download directory's failure
        // texts need its translator, and on two cores an earlier messenger only slows the
        // application's and fontconfig's set-up, so the offer window came no sooner.
        engine.startCheck();
        // Built while the check waits on the messenger and the server, and up to its changelog
        // pane while the font configuration loads; shown only if the check has offers.
        QPointer<VornChangelogDialog> offerWindow
            = quiet ? nullptr : new VornChangelogDialog(&engine, [&fonts] { fonts.wait(); });
        // For the quiet run's window and the message boxes.
        fonts.wait();
        // While the check still runs, the window paints once off screen: its first paint on
        // screen then finds its glyphs and the style's pixmaps made.
        if (offerWindow && engine.isChecking())
            offerWindow->prepaint();
        const Failure failure = engine.checkUpdates();
        if (failure)
            QMessageBox::critical(nullptr, translated("Check updates"), failure.text(),
                                  QMessageBox::Ok, QMessageBox::Ok);
        const bool checked = !failure;
        if (checked && engine.updatesAvailable()) {
            // The controllers delete themselves once their window is gone.
            if (quiet)
                new VornDownloadDialog(&engine);
            else
                offerWindow->offer();
            return termination.hasReceived() ? 0 : app.exec();
        }
        delete offerWindow;
        if (!checked)
            return 0;
        if (!quiet)
            QMessageBox::information(nullptr, updateTitle(), translated("No updates available."));
        return 0;
    });
}

} // namespace Startup
