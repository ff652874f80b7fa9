#include "vornchangelogdialog.h"

#include "textconversion.h"
#include "translated.h"
#include "update.h"
#include "vorndownloaddialog.h"
#include "vornupdaterengine.h"
#include "windowform.h"

#include <QCoreApplication>
#include <QImage>
#include <QLayout>
#include <QPlainTextEdit>
#include <QPushButton>

#include <utility>

VornChangelogDialog::VornChangelogDialog(VornUpdaterEngine *engine,
                                         std::function<void()> beforeText)
    : engine(engine)
{
    WindowForm form(QStringLiteral(":/res/Changelog.ui"), std::move(beforeText));
    viewChangelogButton = form.child<QPushButton>("Updater_Changelog_ViewChangelog");
    auto *downloadNowButton = form.child<QPushButton>("Updater_Changelog_DownloadNow");
    auto *downloadLaterButton = form.child<QPushButton>("Updater_Changelog_DownloadLater");
    details = form.child<QPlainTextEdit>("Updater_Changelog_Details");
    if (!form.isComplete()) {
        form.refuse(this);
        return;
    }
    window = form.window();

    connect(viewChangelogButton, &QPushButton::clicked, this,
            &VornChangelogDialog::toggleChangelog);
    connect(downloadNowButton, &QPushButton::clicked, this, &VornChangelogDialog::downloadNow);
    connect(downloadLaterButton, &QPushButton::clicked, window, &QWidget::close);

    details->hide();
    form.deleteWith(this);
    // Laid out and given its native window, still hidden, while the check runs: once the check
    // offers something, only the text of the hidden pane is left to set before it shows.
    window->adjustSize();
    window->winId();
}

VornChangelogDialog::~VornChangelogDialog()
{
    // Null once the window has gone first.
    delete window;
}

void VornChangelogDialog::prepaint()
{
    if (!window)
        return;
    QImage image(window->size() * window->devicePixelRatio(), QImage::Format_RGB32);
    image.setDevicePixelRatio(window->devicePixelRatio());
    window->render(&image);
}

void VornChangelogDialog::offer()
{
    // Null when the form was refused: its message is out and the run ends.
    if (!window)
        return;
    details->setPlainText(changelogText());
    window->adjustSize();
    window->show();
}

QString VornChangelogDialog::changelogText() const
{
    QString text;
    for (const Update &update : engine->getUpdates()) {
        if (!text.isEmpty())
            text += QStringLiteral("\n\n");
        // The version line is Polish in every run: it is not a translated text.
        text += utf8(update.getDescription()) + QLatin1Char('\n')
            + QStringLiteral("Zmiany w wersji ") + utf8(update.getVersion()) + QLatin1Char('\n')
            + utf8(update.getChangelog());
    }
    return text;
}

void VornChangelogDialog::toggleChangelog()
{
    if (details->isVisible()) {
        details->hide();
        viewChangelogButton->setText(translated("Show changelog"));
    } else {
        details->show();
        viewChangelogButton->setText(translated("Hide changelog"));
    }
    // The layouts hold the old minimum size until the event loop would redo them, and
    // adjustSize() cannot shrink below it: redo them now, innermost first.
    for (QWidget *widget = details->parentWidget(); widget; widget = widget->parentWidget()) {
        if (QLayout *layout = widget->layout())
            layout->activate();
    }
    window->adjustSize();
}

void VornChangelogDialog::downloadNow()
{
    // Close first: the download window is shown before control returns to the event loop,
    // so the application does not end in between.
    window->close();
    new VornDownloadDialog(engine);
}
