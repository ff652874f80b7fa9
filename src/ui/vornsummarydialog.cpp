#include "vornsummarydialog.h"

#include "translated.h"
#include "vornupdaterengine.h"
#include "windowform.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QLabel>
#include <QPlainTextEdit>

VornSummaryDialog::VornSummaryDialog(VornUpdaterEngine *engine)
    : engine(engine)
{
    WindowForm form(QStringLiteral(":/res/Summary.ui"));
    details = form.child<QPlainTextEdit>("Updater_Summary_Details");
    auto *status = form.child<QLabel>("Updater_Summary_Status");
    auto *instruction = form.child<QLabel>("Updater_Summary_Instruction");
    auto *restart = form.child<QAbstractButton>("Updater_Summary_Restart");
    auto *viewDetails = form.child<QAbstractButton>("Updater_Summary_ViewDetails");
    if (!form.isComplete()) {
        form.refuse(this);
        return;
    }

    details->setPlainText(engine->getLog());
    if (!engine->isInstallSucceeded()) {
        status->setText(translated("Installation failed"));
        instruction->setText(
            translated("Please reinstall application with package from official web page"));
    }
    connect(restart, &QAbstractButton::clicked, this, &VornSummaryDialog::restartVorn);
    connect(viewDetails, &QAbstractButton::clicked, this, &VornSummaryDialog::toggleDetails);

    form.show(this);
}

void VornSummaryDialog::restartVorn()
{
    // The messenger is not started from here: the window asks the user to restart it.
    QCoreApplication::quit();
}

void VornSummaryDialog::toggleDetails()
{
    details->setVisible(!details->isVisible());
}
