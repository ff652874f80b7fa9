#ifndef VORNUPDATERENGINE_H
#define VORNUPDATERENGINE_H

#include "failure.h"
#include "installation.h"
#include "installrun.h"
#include "packageverifier.h"
#include "plannedpackage.h"
#include "reportsender.h"
#include "runlock.h"
#include "runreport.h"
#include "runsettings.h"
#include "update.h"
#include "updatecheck.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>

class DownloadDirectory;
class PackageDownload;
class RunPrompter;

// Carries one updater run: the plan of the offered packages, the check, the download and the
// installation run. The windows talk to it only through its signals, slots and getters; the
// work is done by the check, the policy of what may be fetched, the download and the
// installation run behind it.
class VornUpdaterEngine : public QObject
{
    Q_OBJECT

public:
    // Packages must be signed with one of settings' package keys, if any. The installation
    // run asks the user through prompter, which outlives the engine.
    VornUpdaterEngine(const Installation &installation, const RunSettings &settings,
                      RunPrompter &prompter);
    ~VornUpdaterEngine() override;

    // Keeps every other updater away from the download directory and the installation
    // directories until the run ends. Taken at start-up, before anything else; a failure of
    // kind Lock when another run holds them.
    Failure lockRun();
    // Puts back what an installation run that was killed or crashed had changed, and tells the
    // user. Runs at start-up, before the check.
    void recoverInterruptedRun();
    // Begins the update check in the background, so that a window can be built meanwhile.
    void startCheck();
    // Finishes the check (begun here unless startCheck() began it); after a failure nothing is
    // offered.
    Failure checkUpdates();
    // Whether the check begun by startCheck() is still under way.
    bool isChecking() const { return check.isRunning(); }
    bool updatesAvailable() const;
    // The client library's records of the offered packages, in the reply's order.
    QVector<Update> getUpdates() const;
    QString getLog() const;
    bool isInstallSucceeded() const { return install.succeeded(); }
    QString getDownloadDir() const { return installation.downloadDir; }

signals:
    void downloadProgress(int done);
    void downloadFile(const QString &name);
    void downloadFinished();
    void installProgress(int done);
    void installFile(const QString &name);
    void installFinished();
    // The download failed; the run is over.
    void failed(const Failure &failure);
    // The application must end once control returns to its event loop.
    void quitRequested();

public slots:
    void beginDownload();
    void abortDownload();
    void installUpdates();

private:
    Q_DISABLE_COPY(VornUpdaterEngine)

    // The packages of the run as the report names them.
    RunReport runReport() const;
    // Queues and sends the report of the run that downloaded, once.
    void reportRun(RunReport::Outcome outcome, Failure::Kind reason);

    const Installation installation;
    // Opened once, for the whole run; closed when it must not be used.
    std::unique_ptr<DownloadDirectory> downloads;
    const qint64 maximumPackageSize;
    PackageVerifier verifier;
    std::unique_ptr<RunLock> runLock;
    UpdateCheck check;
    // Every offered package, in the reply's order.
    QVector<PlannedPackage> plan;
    QList<QueriedComponent> installed;
    std::unique_ptr<PackageDownload> download;
    InstallRun install;
    // Sends before the download, which it outlives, ends.
    ReportSender reports;
    bool reported = false;
};

#endif // VORNUPDATERENGINE_H
