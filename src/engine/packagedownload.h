#ifndef PACKAGEDOWNLOAD_H
#define PACKAGEDOWNLOAD_H

#include "backgroundjob.h"
#include "httpclient.h"
#include "installation.h"
#include "packagesink.h"
#include "packageverifier.h"
#include "plannedpackage.h"

#include <QFile>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVector>

class OfferPolicy;

// The download of every planned package into the download directory, one after the other,
// with one overall percentage: HEAD requests size them all first, then one GET at a time
// fetches each body, bounded by its announced size and a deadline, and verified before it
// becomes a package. Where the policy picks a patch, the patch is fetched and rebuilt into the
// whole package off the event loop; whatever goes wrong with it costs only the whole download.
class PackageDownload : public QObject
{
    Q_OBJECT

public:
    enum DownloadState { Idle = 0, Sizing = 1, Downloading = 2, Aborted = 3 };

    // The plan belongs to the caller, and outlives the download.
    PackageDownload(const Installation &installation, const PackageVerifier &verifier,
                    QVector<PlannedPackage> &plan, QObject *parent = nullptr);
    ~PackageDownload() override;

    void setStallTimeout(int milliseconds) { http.setStallTimeout(milliseconds); }
    void setRetryPauses(const QList<int> &milliseconds) { http.setRetryPauses(milliseconds); }
    // baseMs plus the package's size at bytesPerSecond, its attempts to resume included.
    void setDeadline(int baseMs, qint64 bytesPerSecond);
    void setMaximumPackageSize(qint64 bytes) { maximumPackageSize = bytes; }
    qint64 maximumSize() const { return maximumPackageSize; }

    // Starts the download, once in the download's life: refused whole by the policy, or made.
    void begin(OfferPolicy &policy);
    void abort();
    bool hasBegun() const { return begun; }

signals:
    void downloadProgress(int done);
    void downloadFile(const QString &name);
    void downloadFinished();
    void error(const QString &str);

private slots:
    void requestFinished(int id, bool error);
    void dataReadProgress(qint64 done, qint64 total);
    void responseHeaderReceived(const HttpResponseHeader &resp);
    void restartBody();
    void deadlinePassed();

private:
    void getUpdatesSize(OfferPolicy &policy);
    void downloadUpdates();
    void getCurUpdate();
    void getNextUpdate();
    void nextPackage();
    bool openBodyFile(const QString &name);
    PackageVerifier::Outcome verifyPackage();
    void startDeadline(qint64 size);
    bool fetchingPatch() const;
    void rebuildFromPatch();
    void fallBack(const QString &reason);
    void failOrFallBack(const QString &text);
    void failDownload(const QString &text);
    void discardPackageFile();

    Installation installation;
    const PackageVerifier &verifier;
    QVector<PlannedPackage> &plan;
    HttpClient http;
    // The body being downloaded, through the sink that bounds and hashes it; the file is
    // opened by descriptor, which leaves it without a name.
    QFile packageFile;
    QString packagePath;
    PackageSink sink;
    BackgroundJob rebuild;
    QTimer packageDeadline;
    int deadlineBase = 60000;
    qint64 deadlineRate = 16 * 1024;
    qint64 maximumPackageSize;
    int currentIndex = 0;
    int getRequestId = 0;
    int downloadState = Idle;
    // 64-bit so that packages over 2 GiB neither overflow the counters nor the percentage.
    qint64 requestDone = 0;
    qint64 bytesDone = 0;
    qint64 totalBytes = 0;
    // The bar never goes back when a patch gives way to its whole package.
    int progressFloor = 0;
    bool begun = false;
    // Set when error or downloadFinished has been emitted: each ends the run, and only once.
    bool ended = false;
};

#endif // PACKAGEDOWNLOAD_H
