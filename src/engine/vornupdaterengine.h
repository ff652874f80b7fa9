#ifndef VORNUPDATERENGINE_H
#define VORNUPDATERENGINE_H

#include "installation.h"
#include "installrun.h"
#include "packageverifier.h"
#include "plannedpackage.h"
#include "runlock.h"
#include "runsettings.h"
#include "updatecheck.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>

class PackageDownload;
class Update;

// Carries one updater run: the offered updates, the check, the download and the
// installation run. The windows talk to it only through its signals, slots and getters; the
// work is done by the check, the policy of what may be fetched, the download and the
// installation run behind it.
class VornUpdaterEngine : public QObject
{
    Q_OBJECT

public:
    VornUpdaterEngine(const Installation &installation, const RunSettings &settings);
    ~VornUpdaterEngine() override;

    // Keeps every other updater away from the download directory and the installation
    // directories until the run ends. Taken at start-up, before anything else; after Held or
    // Failed, runLockError() tells why.
    RunLock::Outcome lockRun();
    QString runLockError() const { return runLock->errorString(); }
    // Puts back what an installation run that was killed or crashed had changed, and tells the
    // user. Runs at start-up, before the check.
    void recoverInterruptedRun();
    // Begins the update check in the background, so that a window can be built meanwhile.
    void startCheck();
    // Finishes the check (begun here unless startCheck() began it); false after a failure the
    // user has been told of.
    bool checkUpdates();
    bool updatesAvailable() const;
    QVector<Update *> getUpdates() const;
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
    void error(const QString &str);

public slots:
    void beginDownload();
    void abortDownload();
    void installUpdates();

private:
    Q_DISABLE_COPY(VornUpdaterEngine)

    void clearUpdates();

    const Installation installation;
    const qint64 maximumPackageSize;
    PackageVerifier verifier;
    std::unique_ptr<RunLock> runLock;
    UpdateCheck check;
    // The offered updates, owned here, and the plan of each in the same order.
    QVector<Update *> updates;
    QVector<PlannedPackage> plan;
    QList<QueriedComponent> installed;
    std::unique_ptr<PackageDownload> download;
    InstallRun install;
};

#endif // VORNUPDATERENGINE_H
