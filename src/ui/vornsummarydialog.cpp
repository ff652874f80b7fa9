#include "vornsummarydialog.h"

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
    QWidget *window = form.window();
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
        status->setText(QCoreApplication::translate("translation", "Installation failed", "nc"));
        instruction->setText(QCoreApplication::translate(
            "translation", "Please reinstall application with package from official web page",
            "nc"));
    }
    connect(restart, &QAbstractButton::clicked, this, &VornSummaryDialog::restartVorn);
    connect(viewDetails, &QAbstractButton::clicked, this, &VornSummaryDialog::toggleDetails);
    connect(window, &QObject::destroyed, this, &QObject::deleteLater);

    window->setAttribute(Qt::WA_DeleteOnClose);
    window->show();
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
