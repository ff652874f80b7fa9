#ifndef VORNUPDATERENGINE_H
#define VORNUPDATERENGINE_H

#include "httpclient.h"
#include "installation.h"
#include "packagecheck.h"
#include "packagesink.h"
#include "packageverifier.h"
#include "patchoffer.h"
#include "queryparser.h"

#include <QFile>
#include <QObject>
#include <QString>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QVector>

#include <atomic>
#include <memory>
#include <vector>

class InstallJournal;
class RunLock;
class Update;
class VornUpdatePackage;

// Carries one updater run: the offered updates, the check, the download and the
// installation run. The windows talk to it only through its signals, slots and getters.
class VornUpdaterEngine : public QObject
{
    Q_OBJECT

public:
    enum DownloadState { Idle = 0, Sizing = 1, Downloading = 2, Aborted = 3 };

    // Packages must be signed with one of the keys the updater was built with, if any.
    explicit VornUpdaterEngine(const Installation &installation);
    // The same with these keys (base64 Ed25519 public keys; empty: no signature needed).
    VornUpdaterEngine(const Installation &installation, const QStringList &packageKeys);
    ~VornUpdaterEngine() override;

    // Keeps every other updater away from the download directory and the installation
    // directories until the run ends; false when another one is running. Taken at start-up,
    // before anything else.
    bool lockRun();
    // Puts back what an installation run that was killed or crashed had changed, and tells the
    // user. Runs at start-up, before the check.
    void recoverInterruptedRun();
    bool checkUpdates();
    bool updatesAvailable() const;
    QVector<Update *> getUpdates() const;
    QString getLog() const;
    bool isInstallSucceeded() const { return installSucceeded; }
    QString getDownloadDir() const { return downloadDir; }
    const Installation &getInstallation() const { return installation; }

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
    void setReplyKeys(const QStringList &keys) { replyKeys = keys; }

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

private slots:
    void requestFinished(int id, bool error);
    void dataReadProgress(qint64 done, qint64 total);
    void responseHeaderReceived(const HttpResponseHeader &resp);
    void restartBody();
    void deadlinePassed();

private:
    Q_DISABLE_COPY(VornUpdaterEngine)

    void getUpdatesSize();
    void getCurUpdate();
    void getNextUpdate();
    void nextPackage();
    void downloadUpdates();
    void failDownload(const QString &text);
    void discardPackageFile();
    void startDeadline(qint64 size);
    bool openBodyFile(const QString &name);
    QString verifyPackage(const Update *update);
    QString refusalOfRun() const;
    QString versionRefusal(const Update *update) const;
    const QueriedComponent *installedComponent(const Update *update) const;

    // Patch packages: fetched instead of the whole package where one fits the installed
    // version, and rebuilt into it; any failure on the way costs only the whole download.
    PatchOffer patchFor(const Update *update, const QList<PatchOffer> &offers) const;
    bool fetchingPatch() const;
    PackageCheck fetchedCheck(qsizetype index) const;
    void rebuildFromPatch(const Update *update);
    void fallBack(const QString &reason);
    void failOrFallBack(const QString &text);

    void rollBack(const std::vector<std::unique_ptr<VornUpdatePackage>> &packages,
                  const QString &failedName, const QString &errorText, InstallJournal &journal);
    void runFixScript() const;

    QByteArray askMessenger() const;
    // signedQuery: the stretch of the query that a signed reply is bound to.
    bool exchangeWithServer(const QByteArray &query, const QByteArray &signedQuery);
    void clearUpdates();

    const Installation installation;
    std::unique_ptr<RunLock> runLock;
    QTcpSocket socket;
    HttpClient http;
    QString log;
    QFile packageFile;
    QVector<Update *> updates;
    // What the server announced for each update: the same order as updates.
    QVector<PackageCheck> checks;
    // The patch packages offered beside each update, and the one fetched in its place (null:
    // the whole package is).
    QVector<QList<PatchOffer>> offeredPatches;
    QVector<PatchOffer> patches;
    // The files of each package rebuilt from its patch, unpacked already.
    QVector<QStringList> rebuiltFiles;
    // The size of each whole package, as announced or as its HEAD answer said.
    QVector<qint64> packageSizes;
    // The components the messenger reported in its query, with their installed versions.
    QList<QueriedComponent> installed;
    int currentIndex = 0;
    QString downloadDir;
    // 64-bit so that packages over 2 GiB neither overflow the counters nor the percentage.
    qint64 requestDone = 0;
    qint64 bytesDone = 0;
    qint64 totalBytes = 0;
    // The bar never goes back when a patch gives way to its whole package.
    int progressFloor = 0;
    int getRequestId = 0;
    int downloadState = Idle;
    // Set when error or downloadFinished has been emitted: each ends the run, and only once.
    bool downloadEnded = false;
    // A download empties the download directory at its start; the installation run at its end.
    bool downloadBegun = false;
    bool installStarted = false;
    bool installSucceeded = false;

    // The body being downloaded; packageFile is opened by descriptor, which leaves it without
    // a name.
    QString packagePath;
    PackageSink sink;
    PackageVerifier verifier;
    // Rebuilds the package of a patch off the event loop; told to stop through cancelRebuild.
    std::unique_ptr<QThread> rebuilder;
    std::atomic_bool cancelRebuild {false};
    QTimer packageDeadline;
    int deadlineBase = 60000;
    qint64 deadlineRate = 16 * 1024;

    QStringList replyKeys;
    int serverTimeout = 30000;
    int checkDeadline = 60000;
    qint64 maximumPackageSize;
    int messengerTimeout = 60000;
};

#endif // VORNUPDATERENGINE_H
