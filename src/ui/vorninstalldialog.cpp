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
    progressBar = form.child<QProgressBar>("Updater_Install_Progress");
    auto *label = form.child<QLabel>("Updater_Install_ProgressText");
    if (!form.isComplete()) {
        form.refuse(this);
        return;
    }
    window = form.window();

    connect(engine, &VornUpdaterEngine::installProgress, progressBar, &QProgressBar::setValue);
    connect(engine, &VornUpdaterEngine::installFile, label, &QLabel::setText);
    connect(engine, &VornUpdaterEngine::installFinished, this, &VornInstallDialog::finished);

    form.show(this);
    engine->installUpdates();
}

void VornInstallDialog::finished()
{
    if (window)
        window->close();
    new VornSummaryDialog(engine);
}
