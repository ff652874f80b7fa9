#include "packagedownload.h"

#include "downloaddirectory.h"
#include "manifestwalker.h"
#include "offerpolicy.h"
#include "packagestatement.h"
#include "packageverifier.h"
#include "patchpackage.h"
#include "translated.h"
#include "vornconfig.h"

#include <QDebug>

#include <limits>
#include <memory>

namespace {

// Packages are always fetched from the standard port, whatever the link names.
const quint16 packagePort = 80;

QString slowFailure(const QString &name, qint64 milliseconds)
{
    return translated("Download of %1 failed: it did not end within the %2 seconds allowed for "
                      "its size.")
        .arg(name)
        .arg((milliseconds + 999) / 1000);
}

QString statusFailure(const QString &name, const HttpResponseHeader &resp)
{
    QString status = QString::number(resp.statusCode());
    if (!resp.reasonPhrase().isEmpty())
        status += QLatin1Char(' ') + resp.reasonPhrase();
    return translated("Download of %1 failed: HTTP %2").arg(name, status);
}

int percent(qint64 done, qint64 total)
{
    // Nothing announced a size: there is no fraction to show until the end.
    if (total <= 0)
        return 0;
    return int(qMin<qint64>(done * 100 / total, std::numeric_limits<int>::max()));
}

} // namespace

PackageDownload::PackageDownload(const Installation &installation, const PackageVerifier &verifier,
                                 QVector<PlannedPackage> &plan, QObject *parent)
    : QObject(parent)
    , installation(installation)
    , verifier(verifier)
    , plan(plan)
    , maximumPackageSize(VORN_MAXIMUM_PACKAGE_SIZE)
{
    connect(&http, &HttpClient::requestFinished, this, &PackageDownload::requestFinished);
    connect(&http, &HttpClient::dataReadProgress, this, &PackageDownload::dataReadProgress);
    connect(&http, &HttpClient::responseHeaderReceived, this,
            &PackageDownload::responseHeaderReceived);
    connect(&http, &HttpClient::bodyRestarted, this, &PackageDownload::restartBody);
    packageDeadline.setSingleShot(true);
    connect(&packageDeadline, &QTimer::timeout, this, &PackageDownload::deadlinePassed);
}

PackageDownload::~PackageDownload()
{
    // A window closed or the session ending during the download: the rebuild stops at its next
    // block, no body outlives its run, and nobody is told of the abort any more.
    rebuild.disconnect(this);
    rebuild.cancel();
    http.disconnect(this);
    http.abort();
    discardPackageFile();
}

void PackageDownload::setDeadline(int baseMs, qint64 bytesPerSecond)
{
    deadlineBase = baseMs;
    deadlineRate = bytesPerSecond;
}

void PackageDownload::begin(OfferPolicy &policy)
{
    // The download is made once in its life.
    if (downloadState != Idle || ended)
        return;
    begun = true;
    downloadState = Sizing;
    getUpdatesSize(policy);
}

void PackageDownload::abort()
{
    downloadState = Aborted;
    rebuild.cancel();
    http.abort();
    discardPackageFile();
}

void PackageDownload::getUpdatesSize(OfferPolicy &policy)
{
    // Refused before any request, so that no byte of the run is fetched for nothing.
    DownloadDirectory directory(installation.downloadDir);
    if (!directory.open()) {
        failDownload(directory.errorString());
        return;
    }
    if (const Failure refusal = policy.check(plan)) {
        failDownload(refusal.text());
        return;
    }
    // Nothing an earlier run left may pass for a package or a backup of this one, and the
    // announced packages must fit, so that a full disk is found before the download.
    qint64 announced = 0;
    for (PlannedPackage &planned : plan) {
        planned.patch = policy.patchFor(planned);
        const PackageCheck &check = planned.fetchedCheck();
        announced += check.has(PackageCheck::Size) ? check.size : 0;
    }
    if (!directory.clear() || !directory.hasRoomFor(announced)) {
        failDownload(directory.errorString());
        return;
    }
    // During sizing currentIndex counts the HEAD responses, naming the package of each.
    currentIndex = 0;
    for (const PlannedPackage &planned : std::as_const(plan)) {
        http.setHost(planned.url.host(), packagePort);
        http.head(planned.url.path());
    }
}

void PackageDownload::downloadUpdates()
{
    currentIndex = 0;
    downloadState = Downloading;
    getCurUpdate();
}

void PackageDownload::getCurUpdate()
{
    const PlannedPackage &planned = plan.at(currentIndex);
    const QUrl &url = planned.fetchesPatch() ? planned.patch.link : planned.url;
    emit downloadFile(planned.name());
    if (ended || downloadState != Downloading)
        return;

    requestDone = 0;
    if (!openBodyFile(planned.name()))
        return;
    // A body nobody announced a size for still ends at the updater's own bound.
    const PackageCheck &check = planned.fetchedCheck();
    if (check.has(PackageCheck::Size))
        sink.start(&packageFile, check.size,
                   PackageVerifier::message(PackageVerifier::WrongSize, planned.name(), check));
    else
        sink.start(&packageFile, maximumPackageSize,
                   OfferPolicy::tooLarge(planned.name(), maximumPackageSize));
    http.setHost(url.host(), packagePort);
    getRequestId = http.get(url.path(), &sink);
    startDeadline(check.has(PackageCheck::Size) ? check.size : planned.wholeSize);
}

// However the bytes come, a trickle or a body broken off and resumed again and again, a
// package's download ends within a time its size allows.
void PackageDownload::startDeadline(qint64 size)
{
    const qint64 bytes = size >= 0 ? size : maximumPackageSize;
    const qint64 milliseconds = deadlineBase + bytes * 1000 / qMax<qint64>(1, deadlineRate);
    packageDeadline.start(int(qMin<qint64>(milliseconds, std::numeric_limits<int>::max())));
}

void PackageDownload::deadlinePassed()
{
    if (ended || downloadState != Downloading)
        return;
    failOrFallBack(slowFailure(plan.at(currentIndex).name(), packageDeadline.interval()));
}

// The body goes where nothing else of the run is, and becomes the package only once verified.
bool PackageDownload::openBodyFile(const QString &name)
{
    DownloadDirectory directory(installation.downloadDir);
    FileDescriptor descriptor
        = directory.open() ? directory.createBodyFile(currentIndex, name) : FileDescriptor();
    if (!descriptor.isValid()) {
        failDownload(directory.errorString());
        return false;
    }
    packagePath = directory.bodyPath(currentIndex);
    // Unbuffered, so that a full disk shows at the write that meets it.
    if (!descriptor.handTo(packageFile, QIODevice::ReadWrite | QIODevice::Unbuffered)) {
        QFile::remove(packagePath);
        failDownload(packageFile.errorString());
        return false;
    }
    return true;
}

// Checked before the package is handed on: nothing is unpacked that was not verified.
PackageVerifier::Outcome PackageDownload::verifyPackage()
{
    const PlannedPackage &planned = plan.at(currentIndex);
    const OfferedPackage &offer = planned.offer;
    // Size and digest come from the reply; a patch's statement names the version it patches.
    const PackageStatement identity {
        offer.project, offer.name, offer.type, offer.version, -1, Digest(), planned.patch.from};
    return verifier.verify(packageFile.size(), sink.digest(), planned.fetchedCheck(), identity);
}

void PackageDownload::getNextUpdate()
{
    packageDeadline.stop();
    if (!packageFile.flush()) {
        failDownload(packageFile.errorString());
        return;
    }
    const PackageVerifier::Outcome outcome = verifyPackage();
    if (outcome != PackageVerifier::Accepted) {
        const PlannedPackage &planned = plan.at(currentIndex);
        failOrFallBack(PackageVerifier::message(outcome, planned.name(), planned.fetchedCheck()));
        return;
    }
    sink.finish();
    packageFile.close();
    if (fetchingPatch()) {
        rebuildFromPatch();
        return;
    }
    const PlannedPackage &planned = plan.at(currentIndex);
    DownloadDirectory directory(installation.downloadDir);
    if (!directory.open()
        || !directory.adoptBody(currentIndex, planned.archivePath, planned.name())) {
        QFile::remove(packagePath);
        failDownload(directory.errorString());
        return;
    }
    nextPackage();
}

void PackageDownload::nextPackage()
{
    ++currentIndex;
    if (currentIndex < plan.size()) {
        getCurUpdate();
        return;
    }
    downloadState = Idle;
    ended = true;
    if (totalBytes == 0)
        emit downloadProgress(100);
    emit downloadFinished();
}

bool PackageDownload::fetchingPatch() const
{
    return downloadState == Downloading && plan.at(currentIndex).fetchesPatch();
}

// The verified patch becomes the whole package, unpacked, for the installation run to take as
// if it had come from the server. Off the event loop: a large release takes seconds, during
// which the windows must go on answering.
void PackageDownload::rebuildFromPatch()
{
    const PlannedPackage &planned = plan.at(currentIndex);
    const QString &type = planned.offer.type;
    const ManifestWalker::Identity identity {planned.offer.project, planned.name(), type};
    const QString installDir = installation.directoryFor(type);
    const QString urlPath = planned.archivePath;
    const QString patchPath = packagePath;
    const QString dir = installation.downloadDir;
    auto patch
        = std::make_shared<PatchPackage>(patchPath, planned.patch.link.path(), planned.wholeSize);
    auto rebuilt = std::make_shared<bool>(false);
    rebuild.disconnect(this);
    connect(&rebuild, &BackgroundJob::done, this, [this, patch, rebuilt] {
        if (ended || downloadState != Downloading)
            return;
        if (!*rebuilt) {
            fallBack(patch->errorString());
            return;
        }
        plan[currentIndex].rebuiltFiles = patch->unpackedFiles();
        nextPackage();
    });
    rebuild.start([=](const std::atomic_bool &cancelled) {
        patch->setCancelFlag(&cancelled);
        *rebuilt = patch->rebuild(identity, installDir, dir, urlPath);
        QFile::remove(patchPath);
    });
}

// Silently: the user asked for the update, not for the patch.
void PackageDownload::fallBack(const QString &reason)
{
    PlannedPackage &planned = plan[currentIndex];
    qInfo().noquote() << QStringLiteral("The patch for %1 is not used (%2): the whole package is "
                                        "downloaded.")
                             .arg(planned.name(), reason);
    progressFloor = qMax(progressFloor, percent(bytesDone, totalBytes));
    bytesDone -= requestDone;
    totalBytes += planned.wholeSize - planned.patch.check.size;
    planned.patch = PatchOffer();
    // The patch's own request ends here, and its report of that is not the download's.
    getRequestId = 0;
    http.abort();
    discardPackageFile();
    getCurUpdate();
}

void PackageDownload::failOrFallBack(const QString &text)
{
    if (fetchingPatch() && !ended)
        fallBack(text);
    else
        failDownload(text);
}

void PackageDownload::failDownload(const QString &text)
{
    if (ended)
        return;
    ended = true;
    packageDeadline.stop();
    // Whatever is still queued is dropped; the client's own report of the abort is ignored.
    http.abort();
    discardPackageFile();
    emit error(text);
}

// A partly written package must never be taken for a whole one.
void PackageDownload::discardPackageFile()
{
    sink.finish();
    if (!packageFile.isOpen())
        return;
    packageFile.close();
    QFile::remove(packagePath);
}

void PackageDownload::requestFinished(int id, bool error)
{
    if (ended || downloadState == Aborted)
        return;
    if (error) {
        if (downloadState == Downloading && id != getRequestId)
            return;
        // A full disk names the package and the place, in the user's language.
        if (packageFile.isOpen() && packageFile.error() != QFileDevice::NoError)
            failOrFallBack(DownloadDirectory::storeFailure(plan.at(currentIndex).name(),
                                                           packageFile.errorString()));
        else
            failOrFallBack(http.errorString());
        return;
    }
    if (downloadState == Downloading && id == getRequestId)
        getNextUpdate();
}

void PackageDownload::dataReadProgress(qint64 done, qint64)
{
    bytesDone += done - requestDone;
    requestDone = done;
    emit downloadProgress(qMax(progressFloor, percent(bytesDone, totalBytes)));
}

void PackageDownload::responseHeaderReceived(const HttpResponseHeader &resp)
{
    if (ended || (downloadState != Sizing && downloadState != Downloading))
        return;
    // An error page or a redirect is never stored as a package.
    if (!resp.isSuccess()) {
        failOrFallBack(statusFailure(
            currentIndex < plan.size() ? plan.at(currentIndex).name() : QString(), resp));
        return;
    }
    if (downloadState != Sizing)
        return;
    // The size in the server's reply is the one the download holds the package to.
    PlannedPackage &planned = plan[currentIndex];
    const PackageCheck &check = planned.offer.check;
    planned.wholeSize = check.has(PackageCheck::Size) ? check.size : resp.contentLength();
    totalBytes += planned.fetchesPatch() ? planned.patch.check.size : planned.wholeSize;
    ++currentIndex;
    // The header of the last HEAD starts the first GET.
    if (!http.hasPendingRequests())
        downloadUpdates();
}

// The server sent the whole package again: the body starts over, and so does its digest.
void PackageDownload::restartBody()
{
    if (!sink.restart())
        failDownload(packageFile.errorString());
}
