#include "windowprobe.h"

#include "testfiles.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QWidget>

namespace {

void startProbe()
{
    const QString directory = QString::fromLocal8Bit(qgetenv("VORN_PROBE_DIR"));
    if (!directory.isEmpty())
        new WindowProbe(directory, QCoreApplication::instance());
}

// Registered when the library is loaded; runs once the application object exists.
__attribute__((constructor)) void registerProbe()
{
    qAddPreRoutine(startProbe);
}

QString shownText(QWidget *child)
{
    if (auto *label = qobject_cast<QLabel *>(child))
        return label->text();
    if (auto *button = qobject_cast<QAbstractButton *>(child))
        return button->text();
    if (auto *pane = qobject_cast<QPlainTextEdit *>(child))
        return pane->toPlainText();
    if (auto *bar = qobject_cast<QProgressBar *>(child))
        return QString::number(bar->value());
    return QString();
}

} // namespace

WindowProbe::WindowProbe(const QString &directory, QObject *parent)
    : QObject(parent)
    , dir(directory)
{
    dir.mkpath(QStringLiteral("shown"));
    dir.mkpath(QStringLiteral("hidden"));
    QCoreApplication::instance()->installEventFilter(this);
}

bool WindowProbe::eventFilter(QObject *watched, QEvent *event)
{
    if ((event->type() == QEvent::Show || event->type() == QEvent::Hide)
        && watched->isWidgetType()) {
        auto *widget = static_cast<QWidget *>(watched);
        if (widget->isWindow() && widget->objectName().startsWith(QLatin1String("Updater_")))
            record(widget,
                   event->type() == QEvent::Show ? QStringLiteral("shown")
                                                 : QStringLiteral("hidden"));
    }
    return QObject::eventFilter(watched, event);
}

void WindowProbe::record(QWidget *window, const QString &moment)
{
    // The probe starts before the application has loaded its platform: the first window tells.
    if (!platformRecorded) {
        writeFile(dir.filePath(QStringLiteral("platform.txt")),
                  QGuiApplication::platformName().toUtf8());
        platformRecorded = true;
    }
    appendFile(dir.filePath(QStringLiteral("windows.log")),
               (moment + QLatin1Char(' ') + window->objectName() + QLatin1Char('\n')).toUtf8());
    for (QWidget *child : window->findChildren<QWidget *>()) {
        if (!child->objectName().startsWith(QLatin1String("Updater_")))
            continue;
        const QString text = shownText(child);
        if (text.isNull())
            continue;
        writeFile(
            dir.filePath(moment + QLatin1Char('/') + child->objectName() + QStringLiteral(".txt")),
            text.toUtf8());
    }
}
