#include "messageboxprompter.h"
#include "startup.h"
#include "vornconfig.h"
#include "vornupdaterengine.h"
#include "windowrenderer.h"

#include <QApplication>
#include <QDir>
#include <QProcessEnvironment>
#include <QTimer>
#include <QTranslator>

#include <cstdio>

// Outside any namespace: the macro declares the bundle's initialiser at block scope.
static void registerBundle()
{
    Q_INIT_RESOURCE(updater);
}

namespace {

const char usage[]
    = "usage: vorn-render-windows --language en|%s --output DIR -root MESSENGER_DIR\n"
      "Runs one update of MESSENGER_DIR like vorn-updater (same update server, packages and\n"
      "installation), walks it through its windows and saves them as DIR/NAME-LANGUAGE.png.\n"
      "Install it beside the messenger's vorn, as the updater would be.\n";

int fail(const char *message)
{
    std::fprintf(stderr, "vorn-render-windows: %s\n", message);
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    registerBundle();

    const QStringList arguments = QCoreApplication::arguments();
    const qsizetype languageAt = arguments.indexOf(QStringLiteral("--language"));
    const qsizetype outputAt = arguments.indexOf(QStringLiteral("--output"));
    const QString language = arguments.value(languageAt + 1);
    const QString output = arguments.value(outputAt + 1);
    // The catalogue's language by its code alone: "pl" for pl_PL.
    const QByteArray translated = QByteArray(VORN_LANGUAGE).split('_').constFirst();
    if (languageAt < 0 || outputAt < 0 || output.isEmpty()
        || (language != QLatin1String("en") && language != QLatin1String(translated))) {
        std::fprintf(stderr, usage, translated.constData());
        return 2;
    }
    if (!QDir().mkpath(output))
        return fail("cannot create the output directory");

    // English is the source text: without the catalogue the windows show it.
    QTranslator translator;
    if (language != QLatin1String("en")) {
        if (!translator.load(QStringLiteral(VORN_CATALOGUE)))
            return fail("the catalogue is missing from the bundle");
        app.installTranslator(&translator);
    }

    // A run that stalls (a box nobody answers, a server that does not reply) ends here.
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &app, [] {
        std::fputs("vorn-render-windows: timed out\n", stderr);
        QCoreApplication::exit(3);
    });
    guard.start(30000);

    MessageBoxPrompter prompter;
    VornUpdaterEngine engine(Startup::installationOf(QCoreApplication::arguments()),
                             Startup::settingsOf(QProcessEnvironment::systemEnvironment()),
                             prompter);
    if (engine.checkUpdates().isFailure() || !engine.updatesAvailable())
        return fail("the update check offered nothing");
    WindowRenderer renderer(&engine, output, language);
    renderer.start();
    const int result = QApplication::exec();
    for (const QString &file : renderer.saved())
        std::printf("%s\n", qPrintable(QDir::cleanPath(file)));
    if (result != 0)
        return result;
    return renderer.saved().size() == 5 ? 0 : fail("some windows were not saved");
}
