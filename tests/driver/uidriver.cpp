#include "uidriver.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QEvent>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>

namespace {

const qint64 settleMs = 200;

QStringList listFromEnvironment(const char *name)
{
    return QString::fromLocal8Bit(qgetenv(name)).split(QLatin1Char(','), Qt::SkipEmptyParts);
}

// The buttons and icons that the updater's boxes use, by name.
const QList<QPair<QMessageBox::StandardButton, QString>> &buttonNames()
{
    static const QList<QPair<QMessageBox::StandardButton, QString>> names {
        {QMessageBox::Ok, QStringLiteral("Ok")},
        {QMessageBox::Cancel, QStringLiteral("Cancel")},
        {QMessageBox::Abort, QStringLiteral("Abort")},
        {QMessageBox::Retry, QStringLiteral("Retry")},
        {QMessageBox::Close, QStringLiteral("Close")},
        {QMessageBox::Yes, QStringLiteral("Yes")},
        {QMessageBox::No, QStringLiteral("No")},
    };
    return names;
}

QString buttonName(QMessageBox::StandardButton button)
{
    for (const auto &name : buttonNames()) {
        if (name.first == button)
            return name.second;
    }
    return QStringLiteral("NoButton");
}

QMessageBox::StandardButton buttonNamed(const QString &text)
{
    for (const auto &name : buttonNames()) {
        if (name.second == text)
            return name.first;
    }
    return QMessageBox::NoButton;
}

QString iconName(QMessageBox::Icon icon)
{
    switch (icon) {
    case QMessageBox::Information:
        return QStringLiteral("Information");
    case QMessageBox::Warning:
        return QStringLiteral("Warning");
    case QMessageBox::Critical:
        return QStringLiteral("Critical");
    case QMessageBox::Question:
        return QStringLiteral("Question");
    case QMessageBox::NoIcon:
        break;
    }
    return QStringLiteral("NoIcon");
}

QString oneLine(QString text)
{
    return text.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
        .replace(QLatin1Char('\n'), QLatin1String("\\n"));
}

void startDriver()
{
    new UiDriver(QCoreApplication::instance());
}

// Registered when the library is loaded; runs once the application object exists.
__attribute__((constructor)) void registerDriver()
{
    qAddPreRoutine(startDriver);
}

} // namespace

UiDriver::UiDriver(QObject *parent)
    : QObject(parent)
    , boxAnswers(listFromEnvironment("VORN_DRIVER_BOXES"))
    , clicks(listFromEnvironment("VORN_DRIVER_CLICKS"))
    , shotDir(QString::fromLocal8Bit(qgetenv("VORN_DRIVER_SHOTS")))
{
    log.setFileName(QString::fromLocal8Bit(qgetenv("VORN_DRIVER_LOG")));
    if (!log.fileName().isEmpty())
        log.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text);
    connect(&timer, &QTimer::timeout, this, &UiDriver::poll);
    // The application's quit closes every window: one the driver has not polled yet is logged
    // before it goes.
    QCoreApplication::instance()->installEventFilter(this);
    timer.start(20);
}

void UiDriver::write(const QStringList &fields)
{
    if (!log.isOpen())
        return;
    log.write(fields.join(QLatin1Char('\t')).toUtf8() + '\n');
    log.flush();
}

void UiDriver::poll()
{
    if (!qobject_cast<QApplication *>(QCoreApplication::instance()))
        return;
    if (QMessageBox *box = lookAround()) {
        answer(box);
        return;
    }
    // A click waits until the last one and the resizes it caused have settled.
    if (sinceChange.isValid() && sinceChange.elapsed() < settleMs)
        return;
    for (QWidget *window : std::as_const(resized)) {
        write({QStringLiteral("size"), window->objectName(), QString::number(window->width()),
               QString::number(window->height())});
    }
    resized.clear();
    if (clicks.isEmpty())
        return;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (!widget->isVisible())
            continue;
        auto *button = widget->findChild<QAbstractButton *>(clicks.first());
        if (button && button->isVisible() && button->isEnabled()) {
            write({QStringLiteral("click"), clicks.takeFirst()});
            sinceChange.start();
            button->click();
            return;
        }
    }
}

QMessageBox *UiDriver::lookAround()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (!widget->isVisible())
            continue;
        if (auto *box = qobject_cast<QMessageBox *>(widget))
            return box;
        if (!seen.contains(widget))
            look(widget);
    }
    return nullptr;
}

void UiDriver::answer(QMessageBox *box)
{
    QStringList buttons;
    for (QAbstractButton *button : box->buttons())
        buttons << buttonName(box->standardButton(button));
    buttons.sort();
    const QString defaultButton = box->defaultButton()
        ? buttonName(box->standardButton(box->defaultButton()))
        : QStringLiteral("NoButton");
    write({QStringLiteral("box"), iconName(box->icon()), box->windowTitle(), oneLine(box->text()),
           buttons.join(QLatin1Char('|')), defaultButton});

    QAbstractButton *button = nullptr;
    if (!boxAnswers.isEmpty())
        button = box->button(buttonNamed(boxAnswers.takeFirst()));
    if (!button)
        button = box->escapeButton() ? box->escapeButton() : box->buttons().value(0);
    button->click();
}

// A window manager answers a resize after the event loop, sometimes in steps: a size counts
// once it has held for a moment.
bool UiDriver::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == QCoreApplication::instance()) {
        if (event->type() == QEvent::Quit && qobject_cast<QApplication *>(watched))
            lookAround();
        return QObject::eventFilter(watched, event);
    }
    // The application's filter sees every object's events: only the windows looked at count.
    if (event->type() == QEvent::Resize && watched->isWidgetType()
        && seen.contains(static_cast<QWidget *>(watched))) {
        resized.insert(static_cast<QWidget *>(watched));
        sinceChange.start();
    }
    return QObject::eventFilter(watched, event);
}

void UiDriver::look(QWidget *window)
{
    seen.insert(window);
    window->installEventFilter(this);
    connect(window, &QObject::destroyed, this, [this, window] {
        seen.remove(window);
        resized.remove(window);
    });
    write({QStringLiteral("window"), window->objectName(), window->windowTitle(),
           QString::number(window->width()), QString::number(window->height())});
    if (!shotDir.isEmpty()) {
        QDir().mkpath(shotDir);
        window->grab().save(shotDir + QLatin1Char('/') + window->objectName()
                            + QStringLiteral(".png"));
    }
}
