#ifndef PACKAGEDOWNLOAD_H
#define PACKAGEDOWNLOAD_H

#include "failure.h"
#include "fetchedpackage.h"
#include "httpclient.h"
#include "installation.h"
#include "plannedpackage.h"
#include "runsettings.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVector>

class DownloadDirectory;
class HttpResponseHeader;
class OfferPolicy;
class PackageFetch;
class PackageVerifier;

// The download of every planned package into the download directory, one after the other,
// with one overall percentage that never goes back: HEAD requests size them all first, then
// one fetch at a time brings each body. Where the policy picks a patch, the patch is fetched
// instead; whatever goes wrong with it, short of a full disk, costs only the whole download.
class PackageDownload : public QObject
{
    Q_OBJECT

public:
    // The plan and the run's download directory belong to the caller, and outlive the
    // download.
    PackageDownload(const Installation &installation, DownloadDirectory &downloads,
                    const RunSettings &settings, const PackageVerifier &verifier,
                    const QVector<PlannedPackage> &plan, QObject *parent = nullptr);
    ~PackageDownload() override;

    // Starts the download, once in the download's life: refused whole by the policy, or made.
    void begin(OfferPolicy &policy);
    void abort();
    bool hasBegun() const { return begun; }
    // What was made of each planned package, in the plan's order, once downloadFinished().
    const QVector<FetchedPackage> &results() const { return fetched; }

signals:
    void downloadProgress(int done);
    void downloadFile(const QString &name);
    void downloadFinished();
    void failed(const Failure &failure);

private slots:
    void requestFinished(int id, const Failure &failure);
    void responseHeaderReceived(const HttpResponseHeader &resp);
    void bodyReceived(qint64 bytes);
    void packageFetched(const QStringList &rebuiltFiles);
    void fetchFailed(const Failure &failure);

private:
    enum class State { Idle, Sizing, Fetching, Ended };

    void size(OfferPolicy &policy);
    void fetchCurrent();
    int deadlineFor(const FetchedPackage &target) const;
    void fallBack(const QString &reason);
    void fail(const Failure &failure);
    void retireFetch();

    const Installation installation;
    DownloadDirectory &downloads;
    const PackageVerifier &verifier;
    const QVector<PlannedPackage> &plan;
    QVector<FetchedPackage> fetched;
    HttpClient http;
    const int deadlineBase;
    const qint64 deadlineRate;
    const qint64 maximumPackageSize;
    const std::shared_ptr<const Clock> clock;
    State state = State::Idle;
    bool begun = false;
    // The HEAD answers in so far, each naming the package it sizes.
    int sized = 0;
    // The package being fetched, and its fetch.
    int current = 0;
    QPointer<PackageFetch> fetch;
    // 64-bit so that packages over 2 GiB neither overflow the counters nor the percentage.
    qint64 currentBytes = 0;
    qint64 bytesDone = 0;
    qint64 totalBytes = 0;
    // The bar never goes back when a patch gives way to its whole package.
    int progressFloor = 0;
};

#endif // PACKAGEDOWNLOAD_H
