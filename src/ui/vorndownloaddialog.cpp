#include "vorndownloaddialog.h"

#include "vorninstalldialog.h"
#include "vornupdaterengine.h"
#include "windowform.h"

#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

VornDownloadDialog::VornDownloadDialog(VornUpdaterEngine *engine)
    : engine(engine)
{
    WindowForm form(QStringLiteral(":/res/Download.ui"));
    progressBar = form.child<QProgressBar>("Updater_Download_Progress");
    auto *label = form.child<QLabel>("Updater_Download_ProgressText");
    auto *cancel = form.child<QPushButton>("Updater_Download_Cancel");
    if (!form.isComplete()) {
        form.refuse(this);
        return;
    }
    window = form.window();

    // Cancel tells the engine to abort before the window closes: connection order matters.
    connect(engine, &VornUpdaterEngine::downloadProgress, progressBar, &QProgressBar::setValue);
    connect(engine, &VornUpdaterEngine::failed, this, &VornDownloadDialog::downloadFailed);
    connect(engine, &VornUpdaterEngine::downloadFile, label, &QLabel::setText);
    connect(engine, &VornUpdaterEngine::downloadFinished, this, &VornDownloadDialog::finished);
    connect(cancel, &QPushButton::clicked, engine, &VornUpdaterEngine::abortDownload);
    connect(cancel, &QPushButton::clicked, window, &QWidget::close);

    form.show(this);
    // The first request waits until the window is on screen and the caller has returned.
    QTimer::singleShot(0, engine, &VornUpdaterEngine::beginDownload);
}

void VornDownloadDialog::downloadFailed(const Failure &failure)
{
    if (window)
        window->close();
    // Under this class's context, which the catalogue leaves untranslated: the title stays
    // "Update" in every language.
    QMessageBox::critical(nullptr, tr("Update"), failure.text());
}

void VornDownloadDialog::finished()
{
    if (window)
        window->close();
    new VornInstallDialog(engine);
}
