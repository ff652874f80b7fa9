#include "packagedownload.h"

#include "downloaddirectory.h"
#include "offerpolicy.h"
#include "packagefetch.h"

#include <QDebug>

#include <limits>

namespace {

// Packages are always fetched from the standard port, whatever the link names.
const quint16 packagePort = 80;

int percent(qint64 done, qint64 total)
{
    // Nothing announced a size: there is no fraction to show until the end.
    if (total <= 0)
        return 0;
    return int(qMin<qint64>(done * 100 / total, std::numeric_limits<int>::max()));
}

} // namespace

PackageDownload::PackageDownload(const Installation &installation, DownloadDirectory &downloads,
                                 const RunSettings &settings, const PackageVerifier &verifier,
                                 const QVector<PlannedPackage> &plan, QObject *parent)
    : QObject(parent)
    , installation(installation)
    , downloads(downloads)
    , verifier(verifier)
    , plan(plan)
    , deadlineBase(settings.downloadDeadlineBaseMs)
    , deadlineRate(settings.downloadBytesPerSecond)
    , maximumPackageSize(settings.maximumPackageSize)
    , clock(settings.clock)
{
    http.setStallTimeout(settings.stallTimeoutMs);
    http.setRetryPauses(settings.retryPauses);
    http.setProxies(settings.proxies);
    http.setClock(settings.clock);
    connect(&http, &HttpClient::requestFinished, this, &PackageDownload::requestFinished);
    connect(&http, &HttpClient::responseHeaderReceived, this,
            &PackageDownload::responseHeaderReceived);
}

PackageDownload::~PackageDownload()
{
    // A window closed or the session ending during the download: the rebuild stops at its next
    // block, no body outlives its run, and nobody is told of the abort any more.
    delete fetch.data();
    http.disconnect(this);
    http.abort();
}

void PackageDownload::begin(OfferPolicy &policy)
{
    // The download is made once in its life.
    if (state != State::Idle)
        return;
    begun = true;
    state = State::Sizing;
    size(policy);
}

void PackageDownload::abort()
{
    state = State::Ended;
    if (fetch)
        fetch->abort();
    http.abort();
}

void PackageDownload::size(OfferPolicy &policy)
{
    // Refused before any request, so that no byte of the run is fetched for nothing. Checked
    // again at the start: the directory may have been swapped since the run began.
    if (const Failure refusal = downloads.recheck()) {
        fail(refusal);
        return;
    }
    if (const Failure refusal = policy.check(plan)) {
        fail(refusal);
        return;
    }
    // Nothing an earlier run left may pass for a package or a backup of this one, and the
    // announced packages must fit, so that a full disk is found before the download.
    fetched = QVector<FetchedPackage>(plan.size());
    qint64 announced = 0;
    for (int i = 0; i < plan.size(); ++i) {
        fetched[i].patch = policy.patchFor(plan.at(i));
        const PackageCheck &check
            = fetched.at(i).isPatched() ? fetched.at(i).patch.check : plan.at(i).offer.check;
        announced += check.has(PackageCheck::Size) ? check.size : 0;
    }
    Failure unfit = downloads.clear();
    if (!unfit)
        unfit = downloads.hasRoomFor(announced);
    if (unfit) {
        fail(unfit);
        return;
    }
    for (const PlannedPackage &planned : plan) {
        http.setHost(planned.url.host(), packagePort);
        http.head(planned.archivePath);
    }
}

void PackageDownload::requestFinished(int, const Failure &failure)
{
    if (state == State::Sizing && failure)
        fail(failure);
}

void PackageDownload::responseHeaderReceived(const HttpResponseHeader &resp)
{
    if (state != State::Sizing)
        return;
    const PlannedPackage &planned = plan.at(sized);
    // An error page or a redirect sizes nothing.
    if (!resp.isSuccess()) {
        fail(Failure(Failure::Network, PackageFetch::statusFailure(planned.name(), resp)));
        return;
    }
    // The size in the server's reply is the one the download holds the package to.
    FetchedPackage &target = fetched[sized];
    target.wholeSize = planned.offer.check.has(PackageCheck::Size) ? planned.offer.check.size
                                                                   : resp.contentLength();
    totalBytes += target.isPatched() ? target.patch.check.size : target.wholeSize;
    ++sized;
    // The header of the last HEAD starts the first GET.
    if (!http.hasPendingRequests()) {
        state = State::Fetching;
        fetchCurrent();
    }
}

void PackageDownload::fetchCurrent()
{
    emit downloadFile(plan.at(current).name());
    if (state != State::Fetching)
        return;
    currentBytes = 0;
    fetch = new PackageFetch(installation, downloads, verifier, http, current, plan.at(current),
                             fetched.at(current), maximumPackageSize, clock, this);
    connect(fetch, &PackageFetch::received, this, &PackageDownload::bodyReceived);
    connect(fetch, &PackageFetch::fetched, this, &PackageDownload::packageFetched);
    connect(fetch, &PackageFetch::failed, this, &PackageDownload::fetchFailed);
    fetch->start(deadlineFor(fetched.at(current)));
}

int PackageDownload::deadlineFor(const FetchedPackage &target) const
{
    const PackageCheck &check
        = target.isPatched() ? target.patch.check : plan.at(current).offer.check;
    const qint64 size = check.has(PackageCheck::Size) ? check.size : target.wholeSize;
    const qint64 bytes = size >= 0 ? size : maximumPackageSize;
    const qint64 milliseconds = deadlineBase + bytes * 1000 / qMax<qint64>(1, deadlineRate);
    return int(qMin<qint64>(milliseconds, std::numeric_limits<int>::max()));
}

void PackageDownload::bodyReceived(qint64 bytes)
{
    bytesDone += bytes - currentBytes;
    currentBytes = bytes;
    emit downloadProgress(qMax(progressFloor, percent(bytesDone, totalBytes)));
}

void PackageDownload::packageFetched(const QStringList &rebuiltFiles)
{
    retireFetch();
    if (state != State::Fetching)
        return;
    fetched[current].rebuiltFiles = rebuiltFiles;
    ++current;
    if (current < plan.size()) {
        fetchCurrent();
        return;
    }
    state = State::Ended;
    if (totalBytes == 0)
        emit downloadProgress(100);
    emit downloadFinished();
}

void PackageDownload::fetchFailed(const Failure &failure)
{
    const bool patch = fetch && fetch->fetchesPatch();
    retireFetch();
    if (state != State::Fetching)
        return;
    // A full disk would meet the larger whole package too.
    if (patch && failure.kind() != Failure::Storage)
        fallBack(failure.text());
    else
        fail(failure);
}

// Silently: the user asked for the update, not for the patch.
void PackageDownload::fallBack(const QString &reason)
{
    FetchedPackage &target = fetched[current];
    qInfo().noquote() << QStringLiteral("The patch for %1 is not used (%2): the whole package is "
                                        "downloaded.")
                             .arg(plan.at(current).name(), reason);
    progressFloor = qMax(progressFloor, percent(bytesDone, totalBytes));
    bytesDone -= currentBytes;
    totalBytes += target.wholeSize - target.patch.check.size;
    target.patch = PatchOffer();
    fetchCurrent();
}

void PackageDownload::fail(const Failure &failure)
{
    if (state == State::Ended)
        return;
    state = State::Ended;
    // Whatever is still queued is dropped; the client's own report of the abort is ignored.
    http.abort();
    emit failed(failure);
}

// An ended fetch goes once the signal that ended it has returned.
void PackageDownload::retireFetch()
{
    if (!fetch)
        return;
    fetch->disconnect(this);
    fetch->deleteLater();
    fetch = nullptr;
}
