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
    window = form.window();
    progressBar = form.child<QProgressBar>("Updater_Download_Progress");
    auto *label = form.child<QLabel>("Updater_Download_ProgressText");
    auto *cancel = form.child<QPushButton>("Updater_Download_Cancel");
    if (!form.isComplete()) {
        window = nullptr;
        form.refuse(this);
        return;
    }

    // Cancel tells the engine to abort before the window closes: connection order matters.
    connect(window, &QObject::destroyed, this, &QObject::deleteLater);
    connect(engine, &VornUpdaterEngine::downloadProgress, progressBar, &QProgressBar::setValue);
    connect(engine, &VornUpdaterEngine::error, this, &VornDownloadDialog::error);
    connect(engine, &VornUpdaterEngine::downloadFile, label, &QLabel::setText);
    connect(engine, &VornUpdaterEngine::downloadFinished, this, &VornDownloadDialog::finished);
    connect(cancel, &QPushButton::clicked, engine, &VornUpdaterEngine::abortDownload);
    connect(cancel, &QPushButton::clicked, window, &QWidget::close);

    window->setAttribute(Qt::WA_DeleteOnClose);
    window->show();
    // The first request waits until the window is on screen and the caller has returned.
    QTimer::singleShot(0, engine, &VornUpdaterEngine::beginDownload);
}

void VornDownloadDialog::error(const QString &str)
{
    window->close();
    QMessageBox::critical(nullptr, tr("Update"), str);
}

void VornDownloadDialog::finished()
{
    window->close();
    new VornInstallDialog(engine);
}
