#ifndef INSTALLRUN_H
#define INSTALLRUN_H

#include "failure.h"
#include "fetchedpackage.h"
#include "installation.h"
#include "plannedpackage.h"

#include <QObject>
#include <QString>
#include <QVector>

#include <memory>
#include <vector>

class DownloadDirectory;
class InstallJournal;
class RunPrompter;
class VornUpdatePackage;

// The installation run: installs every downloaded package in turn with backups and the
// journal, rolls the whole run back when one fails (the user answers Abort or Retry), runs the
// messenger's fix-up script after a success, and keeps the log for the summary. It runs on the
// caller's thread and asks the prompter whatever the user must answer or read; only those
// questions run an event loop. Also undoes, at start-up, a run that was killed halfway.
class InstallRun : public QObject
{
    Q_OBJECT

public:
    // downloads is the run's download directory, opened (when it can be used) for the whole
    // run.
    InstallRun(const Installation &installation, const DownloadDirectory &downloads,
               RunPrompter &prompter, QObject *parent = nullptr);

    // Puts back what an interrupted run had changed, and tells the user.
    void recoverInterruptedRun();
    // fetched: what the download made of each planned package, in the plan's order.
    void run(const QVector<PlannedPackage> &plan, const QVector<FetchedPackage> &fetched);

    bool hasStarted() const { return started; }
    bool succeeded() const { return success; }
    // The kind of the failure that ended the run; None while none did.
    Failure::Kind failureKind() const { return failed; }
    QString getLog() const { return log; }

signals:
    void installProgress(int done);
    void installFile(const QString &name);
    void installFinished();
    // The run failed and is over, rolled back as far as it could be: failureKind() tells why.
    // Emitted before a Retry starts the next run.
    void runFailed();
    // A Retry: the next run must be able to begin once this one has ended.
    void restartRequested();
    // The application must end once control returns to its event loop: after a failed root
    // check, a failed unwind, or a Retry that started the next run.
    void quitRequested();

private:
    using Packages = std::vector<std::unique_ptr<VornUpdatePackage>>;

    // count: the packages of the run, whether their installation began or not.
    void rollBack(const Packages &packages, int count, const QString &failedName,
                  const Failure &failure, InstallJournal &journal);
    void showRollbackFailure();
    void runFixScript() const;

    Installation installation;
    const DownloadDirectory &downloads;
    RunPrompter &prompter;
    QString log;
    bool started = false;
    bool success = false;
    Failure::Kind failed = Failure::None;
};

#endif // INSTALLRUN_H
