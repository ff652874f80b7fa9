#include "installrun.h"

#include "downloaddirectory.h"
#include "failure.h"
#include "installjournal.h"
#include "runprompter.h"
#include "translated.h"
#include "vornupdatepackage.h"

#include <QProcess>

namespace {

// The title of the boxes of the package that failed; the run's own have "Update" alone.
QString packageBoxTitle()
{
    return translated("Update", "program update");
}

} // namespace

InstallRun::InstallRun(const Installation &installation, const DownloadDirectory &downloads,
                       RunPrompter &prompter, QObject *parent)
    : QObject(parent)
    , installation(installation)
    , downloads(downloads)
    , prompter(prompter)
{ }

void InstallRun::showRollbackFailure()
{
    prompter.showFailure(translated("Update"),
                         Failure(Failure::Rollback,
                                 translated("An error occured while rolling back update progress. "
                                            "Software may not work properly. Try reinstalling "
                                            "whole application")));
}

void InstallRun::recoverInterruptedRun()
{
    // A journal is ours only in a directory of this user that nobody else can write to: one
    // planted in a directory of someone else's making would copy their files over the user's.
    if (!downloads.isOpen())
        return;
    // Bodies that a killed run never verified are of no use to anyone.
    downloads.removeUnverified();
    QStringList installDirs {installation.pluginDir()};
    if (!installation.root.isNull())
        installDirs.append(installation.root);
    switch (InstallJournal::recover(downloads, installDirs)) {
    case InstallJournal::NothingToRecover:
    case InstallJournal::Discarded:
        break;
    case InstallJournal::Recovered:
        prompter.showNotice(translated("Update"), translated("An interrupted update was undone."));
        break;
    case InstallJournal::RestoreFailed:
        showRollbackFailure();
        break;
    }
}

void InstallRun::run(const QVector<PlannedPackage> &plan, const QVector<FetchedPackage> &fetched)
{
    started = true;
    // Every package object lives until the run ends: a rollback works from their records.
    Packages packages;
    InstallJournal journal(downloads);
    const int count = plan.size();
    for (int i = 0; i < count; ++i) {
        const PlannedPackage &planned = plan.at(i);
        const OfferedPackage &offer = planned.offer;
        packages.push_back(std::make_unique<VornUpdatePackage>(
            ManifestWalker::Identity {offer.project, offer.name, offer.type}, planned.archivePath,
            installation));
        // A failed root check ends the run and the application, without a rollback.
        if (const Failure &failure = packages.back()->rootFailure()) {
            prompter.showFailure(packageBoxTitle(), failure);
            journal.finish();
            failed = failure.kind();
            emit runFailed();
            emit quitRequested();
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
        QStringList files;
        if (const Failure failure = packages.back()->install(downloads, files)) {
            prompter.showFailure(packageBoxTitle(), failure);
            rollBack(packages, count, planned.name(), failure, journal);
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
    // What cannot be removed now goes before the next download, which empties the directory.
    downloads.removeFiles();
}

void InstallRun::rollBack(const Packages &packages, int count, const QString &failedName,
                          const Failure &failure, InstallJournal &journal)
{
    QString text = translated("Failed installing package ") + failedName;
    if (failure.systemError() != 0)
        text += QLatin1Char('\n') + qt_error_string(failure.systemError());
    const bool retry
        = prompter.askAbortOrRetry(translated("Update"), text) == RunPrompter::Answer::Retry;

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
        if (index < packages.size() && !packages[index]->unwind(downloads)) {
            showRollbackFailure();
            unwindFailed = true;
        }
        emit installProgress(step * 100 / count);
    }

    log = QStringLiteral("An error occured while installing updates");
    journal.finish();
    failed = unwindFailed ? Failure::Rollback : failure.kind();
    emit runFailed();
    emit installFinished();
    // What cannot be removed now goes before the next download, which empties the directory.
    downloads.removeFiles();

    if (retry) {
        emit restartRequested();
        QProcess::startDetached(installation.program, installation.arguments);
    }
    if (unwindFailed || retry)
        emit quitRequested();
}

void InstallRun::runFixScript() const
{
    // Script and directory as separate arguments: no shell ever parses the directory.
    QProcess::execute(QStringLiteral("sh"),
                      {installation.fixScript(), installation.applicationDir});
}
