#ifndef VORNUPDATERENGINE_H
#define VORNUPDATERENGINE_H

#include "failure.h"
#include "installation.h"
#include "installrun.h"
#include "packageverifier.h"
#include "plannedpackage.h"
#include "runlock.h"
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
    // Packages must be signed with one of the keys the updater was built with, if any. The
    // installation run asks the user through prompter, which outlives the engine.
    VornUpdaterEngine(const Installation &installation, RunPrompter &prompter);
    // The same with these keys (base64 Ed25519 public keys; empty: no signature needed).
    VornUpdaterEngine(const Installation &installation, RunPrompter &prompter,
                      const QStringList &packageKeys);
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
    // Finishes the check (begun here unless startCheck() began it); after a failure nothing is
    // offered.
    Failure checkUpdates();
    bool updatesAvailable() const;
    // The client library's records of the offered packages, in the reply's order.
    QVector<Update> getUpdates() const;
    QString getLog() const;
    bool isInstallSucceeded() const { return install.succeeded(); }
    QString getDownloadDir() const { return installation.downloadDir; }

    // Bounds of the blocking waits of the check, in milliseconds.
    void setCheckTimeouts(int serverMs, int messengerMs);
    // The deadline of the whole exchange with the update server (60 s), and how long a package
    // download may receive nothing (60 s), in milliseconds.
    void setNetworkBounds(int checkMs, int stallMs);
    // How long the download of a package may take in all, its attempts to resume included:
    // baseMs plus its size at bytesPerSecond (60 s plus the size at 16 KiB/s).
    void setDownloadDeadline(int baseMs, qint64 bytesPerSecond);
    // The pauses before each attempt to resume a broken package download (1, 2 and 4 s).
    void setRetryPauses(const QList<int> &milliseconds);
    // The largest package downloaded, in bytes (the build setting VORN_MAXIMUM_PACKAGE_SIZE).
    void setMaximumPackageSize(qint64 bytes);
    // The keys one of which must have signed the server's reply (base64; empty: none need
    // have); the build setting VORN_REPLY_PUBLIC_KEYS unless set.
    void setReplyKeys(const QStringList &keys) { check.setReplyKeys(keys); }

signals:
    void downloadProgress(int done);
    void downloadFile(const QString &name);
    void downloadFinished();
    void installProgress(int done);
    void installFile(const QString &name);
    void installFinished();
    void error(const QString &str);
    // The application must end once control returns to its event loop.
    void quitRequested();

public slots:
    void beginDownload();
    void abortDownload();
    void installUpdates();

private:
    Q_DISABLE_COPY(VornUpdaterEngine)

    const Installation installation;
    // Opened once, for the whole run; closed when it must not be used.
    std::unique_ptr<DownloadDirectory> downloads;
    PackageVerifier verifier;
    std::unique_ptr<RunLock> runLock;
    UpdateCheck check;
    // Every offered package, in the reply's order.
    QVector<PlannedPackage> plan;
    QList<QueriedComponent> installed;
    std::unique_ptr<PackageDownload> download;
    InstallRun install;
};

#endif // VORNUPDATERENGINE_H
