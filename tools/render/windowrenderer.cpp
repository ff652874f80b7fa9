#include "windowrenderer.h"

#include "shownwindow.h"
#include "vornchangelogdialog.h"
#include "vornupdaterengine.h"

#include <QAbstractButton>
#include <QApplication>
#include <QEvent>
#include <QPixmap>
#include <QTimer>
#include <QWidget>

#include <cstdio>

WindowRenderer::WindowRenderer(VornUpdaterEngine *engine, const QString &outputDir,
                               const QString &suffix)
    : engine(engine)
    , output(outputDir)
    , suffix(suffix)
{ }

void WindowRenderer::start()
{
    qApp->installEventFilter(this);
    (new VornChangelogDialog(engine))->offer();
    // After the first pass of the event loop the window is laid out.
    QTimer::singleShot(0, this, &WindowRenderer::offerShown);
}

bool WindowRenderer::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::Show || !watched->isWidgetType())
        return false;
    const QString name = watched->objectName();
    if (name == QLatin1String("Updater_Install_MainWindow")) {
        // The install window is shown right before the run starts inside its constructor, and
        // has connected its label and bar by now: a picture taken from a later connection of
        // the same signal shows the label already updated.
        connect(engine, &VornUpdaterEngine::installFile, this, &WindowRenderer::installFileStarted,
                Qt::UniqueConnection);
    } else if (name == QLatin1String("Updater_Summary_MainWindow")) {
        QTimer::singleShot(0, this, &WindowRenderer::summaryShown);
    }
    return false;
}

void WindowRenderer::offerShown()
{
    save(QStringLiteral("Updater_Changelog_MainWindow"), QStringLiteral("offer"));
    click(QStringLiteral("Updater_Changelog_MainWindow"), "Updater_Changelog_ViewChangelog");
    QTimer::singleShot(0, this, &WindowRenderer::changelogShown);
}

void WindowRenderer::changelogShown()
{
    save(QStringLiteral("Updater_Changelog_MainWindow"), QStringLiteral("offer-changelog"));
    click(QStringLiteral("Updater_Changelog_MainWindow"), "Updater_Changelog_DownloadNow");
    // Connected after the download window's own connections, for the reason given above.
    connect(engine, &VornUpdaterEngine::downloadFile, this, &WindowRenderer::downloadFileStarted);
}

// Each package overwrites the picture: the last one shows the last package, with the bar at
// the share of the packages before it.
void WindowRenderer::downloadFileStarted()
{
    save(QStringLiteral("Updater_Download_MainWindow"), QStringLiteral("download"));
}

void WindowRenderer::installFileStarted()
{
    save(QStringLiteral("Updater_Install_MainWindow"), QStringLiteral("install"));
}

void WindowRenderer::summaryShown()
{
    save(QStringLiteral("Updater_Summary_MainWindow"), QStringLiteral("summary"));
    click(QStringLiteral("Updater_Summary_MainWindow"), "Updater_Summary_Restart");
}

void WindowRenderer::save(const QString &windowName, const QString &pictureName)
{
    QWidget *window = shownWindow(windowName);
    if (!window) {
        std::fprintf(stderr, "vorn-render-windows: %s is not shown\n", qPrintable(windowName));
        return;
    }
    const QString file
        = output.filePath(pictureName + QLatin1Char('-') + suffix + QStringLiteral(".png"));
    if (!window->grab().save(file)) {
        std::fprintf(stderr, "vorn-render-windows: cannot write %s\n", qPrintable(file));
        return;
    }
    if (!savedFiles.contains(file))
        savedFiles << file;
}

void WindowRenderer::click(const QString &windowName, const char *buttonName)
{
    QWidget *window = shownWindow(windowName);
    auto *button
        = window ? window->findChild<QAbstractButton *>(QLatin1String(buttonName)) : nullptr;
    if (!button) {
        std::fprintf(stderr, "vorn-render-windows: no button %s\n", buttonName);
        QCoreApplication::exit(1);
        return;
    }
    button->click();
}
