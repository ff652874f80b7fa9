#include "installrun.h"

#include "downloaddirectory.h"
#include "installjournal.h"
#include "removedir.h"
#include "translated.h"
#include "vornupdatepackage.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QProcess>

namespace {

void showRollbackFailure()
{
    QMessageBox::critical(nullptr, translated("Update"),
                          translated("An error occured while rolling back update progress. "
                                     "Software may not work properly. Try reinstalling whole "
                                     "application"),
                          QMessageBox::Ok);
}

} // namespace

InstallRun::InstallRun(const Installation &installation, QObject *parent)
    : QObject(parent)
    , installation(installation)
{ }

void InstallRun::recoverInterruptedRun()
{
    // A journal is ours only in a directory of this user that nobody else can write to: one
    // planted in a directory of someone else's making would copy their files over the user's.
    DownloadDirectory directory(installation.downloadDir);
    if (!directory.open())
        return;
    // Bodies that a killed run never verified are of no use to anyone.
    directory.removeUnverified();
    QStringList installDirs {installation.pluginDir()};
    if (!installation.root.isNull())
        installDirs.append(installation.root);
    switch (InstallJournal::recover(installation.downloadDir, installDirs)) {
    case InstallJournal::NothingToRecover:
    case InstallJournal::Discarded:
        break;
    case InstallJournal::Recovered:
        QMessageBox::information(nullptr, translated("Update"),
                                 translated("An interrupted update was undone."));
        break;
    case InstallJournal::RestoreFailed:
        showRollbackFailure();
        break;
    }
}

void InstallRun::run(const QVector<PlannedPackage> &plan, const QVector<FetchedPackage> &fetched)
{
    started = true;
    const QString &downloadDir = installation.downloadDir;
    // Every package object lives until the run ends: a rollback works from their records.
    Packages packages;
    InstallJournal journal(downloadDir);
    const int count = plan.size();
    for (int i = 0; i < count; ++i) {
        const PlannedPackage &planned = plan.at(i);
        packages.push_back(std::make_unique<VornUpdatePackage>(planned.update, installation));
        // A failed root check has told the user and asked the application to quit; the run
        // ends without a rollback.
        if (!packages.back()->isValid()) {
            journal.finish();
            return;
        }
        packages.back()->setJournal(&journal);
        if (fetched.value(i).isPatched())
            packages.back()->setUnpacked(fetched.at(i).rebuiltFiles);
        emit installFile(planned.name());
        log += translated("Installing package %1:",
                          "status information about currently installed package")
                   .arg(planned.name())
            + QLatin1Char('\n');
        QString errorText;
        QStringList files;
        if (!packages.back()->install(downloadDir, errorText, files)) {
            rollBack(packages, count, planned.name(), errorText, journal);
            return;
        }
        files.sort();
        log += files.join(QLatin1Char('\n')) + QStringLiteral("\n\n");
        emit installProgress((i + 1) * 100 / count);
    }

    // Flushes everything installed before the run counts as done.
    journal.finish();
    success = true;
    runFixScript();
    emit installFinished();
    removeDir(downloadDir);
}

void InstallRun::rollBack(const Packages &packages, int count, const QString &failedName,
                          const QString &errorText, InstallJournal &journal)
{
    QString text = translated("Failed installing package ") + failedName;
    if (!errorText.isEmpty())
        text += QLatin1Char('\n') + errorText;
    const QMessageBox::StandardButton answer
        = QMessageBox::warning(nullptr, translated("Update"), text,
                               QMessageBox::Abort | QMessageBox::Retry, QMessageBox::Retry);

    emit installFile(
        translated("Rollback update", "restoring application to state before installing update"));
    emit installProgress(0);
    // Newest first: when two packages replaced the same file, the oldest backup (the file as
    // it stood before the run) must be the one restored last.
    // A failed unwind ends the application, but only once the rollback is over: quitting at
    // once would close the install window and let every later box return unseen.
    bool unwindFailed = false;
    for (int step = 1; step <= count; ++step) {
        const size_t index = size_t(count - step);
        if (index < packages.size() && !packages[index]->unwind(installation.downloadDir)) {
            showRollbackFailure();
            unwindFailed = true;
        }
        emit installProgress(step * 100 / count);
    }

    log = QStringLiteral("An error occured while installing updates");
    journal.finish();
    emit installFinished();
    removeDir(installation.downloadDir);

    if (answer == QMessageBox::Retry) {
        emit restartRequested();
        QProcess::startDetached(installation.program, installation.arguments);
    }
    if (unwindFailed || answer == QMessageBox::Retry)
        QCoreApplication::quit();
}

void InstallRun::runFixScript() const
{
    // Script and directory as separate arguments: no shell ever parses the directory.
    QProcess::execute(QStringLiteral("sh"),
                      {installation.fixScript(), installation.applicationDir});
}
