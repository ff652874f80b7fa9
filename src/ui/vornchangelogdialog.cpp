#include "vornchangelogdialog.h"

#include "update.h"
#include "vorndownloaddialog.h"
#include "vornupdaterengine.h"
#include "windowform.h"

#include <QCoreApplication>
#include <QLayout>
#include <QPlainTextEdit>
#include <QPushButton>

namespace {

// Record texts are UTF-8, read up to their first NUL.
QString fromUtf8(const std::string &text)
{
    return QString::fromUtf8(text.c_str());
}

} // namespace

VornChangelogDialog::VornChangelogDialog(VornUpdaterEngine *engine)
    : engine(engine)
{
    WindowForm form(QStringLiteral(":/res/Changelog.ui"));
    window = form.window();
    viewChangelogButton = form.child<QPushButton>("Updater_Changelog_ViewChangelog");
    auto *downloadNowButton = form.child<QPushButton>("Updater_Changelog_DownloadNow");
    auto *downloadLaterButton = form.child<QPushButton>("Updater_Changelog_DownloadLater");
    details = form.child<QPlainTextEdit>("Updater_Changelog_Details");
    if (!form.isComplete()) {
        window = nullptr;
        form.refuse(this);
        return;
    }

    connect(window, &QObject::destroyed, this, &QObject::deleteLater);
    connect(viewChangelogButton, &QPushButton::clicked, this,
            &VornChangelogDialog::toggleChangelog);
    connect(downloadNowButton, &QPushButton::clicked, this, &VornChangelogDialog::downloadNow);
    connect(downloadLaterButton, &QPushButton::clicked, window, &QWidget::close);

    details->setPlainText(changelogText());
    details->hide();
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->adjustSize();
    window->show();
}

QString VornChangelogDialog::changelogText() const
{
    QString text;
    for (const Update *update : engine->getUpdates()) {
        if (!text.isEmpty())
            text += QStringLiteral("\n\n");
        // The version line is Polish in every run: it is not a translated text.
        text += fromUtf8(update->getDescription()) + QLatin1Char('\n')
            + QStringLiteral("Zmiany w wersji ") + fromUtf8(update->getVersion())
            + QLatin1Char('\n') + fromUtf8(update->getChangelog());
    }
    return text;
}

void VornChangelogDialog::toggleChangelog()
{
    if (details->isVisible()) {
        details->hide();
        viewChangelogButton->setText(
            QCoreApplication::translate("translation", "Show changelog", "nc"));
    } else {
        details->show();
        viewChangelogButton->setText(
            QCoreApplication::translate("translation", "Hide changelog", "nc"));
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
