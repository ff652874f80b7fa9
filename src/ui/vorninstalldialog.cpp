#include "vorninstalldialog.h"

#include "vornsummarydialog.h"
#include "vornupdaterengine.h"
#include "windowform.h"

#include <QLabel>
#include <QProgressBar>

VornInstallDialog::VornInstallDialog(VornUpdaterEngine *engine)
    : engine(engine)
{
    WindowForm form(QStringLiteral(":/res/Install.ui"));
    window = form.window();
    progressBar = form.child<QProgressBar>("Updater_Install_Progress");
    auto *label = form.child<QLabel>("Updater_Install_ProgressText");
    if (!form.isComplete()) {
        window = nullptr;
        form.refuse(this);
        return;
    }

    connect(window, &QObject::destroyed, this, &QObject::deleteLater);
    connect(engine, &VornUpdaterEngine::installProgress, progressBar, &QProgressBar::setValue);
    connect(engine, &VornUpdaterEngine::installFile, label, &QLabel::setText);
    connect(engine, &VornUpdaterEngine::installFinished, this, &VornInstallDialog::finished);

    window->setAttribute(Qt::WA_DeleteOnClose);
    window->show();
    engine->installUpdates();
}

void VornInstallDialog::finished()
{
    window->close();
    new VornSummaryDialog(engine);
}
