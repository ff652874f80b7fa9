#include "packagefetch.h"

#include "downloaddirectory.h"
#include "httpclient.h"
#include "manifestwalker.h"
#include "offerpolicy.h"
#include "packagestatement.h"
#include "packageverifier.h"
#include "patchpackage.h"
#include "translated.h"

#include <QUrl>

#include <cerrno>
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

} // namespace

QString PackageFetch::statusFailure(const QString &name, const HttpResponseHeader &resp)
{
    QString status = QString::number(resp.statusCode());
    if (!resp.reasonPhrase().isEmpty())
        status += QLatin1Char(' ') + resp.reasonPhrase();
    return translated("Download of %1 failed: HTTP %2").arg(name, status);
}

PackageFetch::PackageFetch(const Installation &installation, DownloadDirectory &downloads,
                           const PackageVerifier &verifier, HttpClient &http, int index,
                           const PlannedPackage &planned, const FetchedPackage &target,
                           qint64 maximumPackageSize, const std::shared_ptr<const Clock> &clock,
                           QObject *parent)
    : QObject(parent)
    , installation(installation)
    , downloads(downloads)
    , verifier(verifier)
    , http(http)
    , index(index)
    , planned(planned)
    , target(target)
    , maximumPackageSize(maximumPackageSize)
{
    deadline.setClock(clock);
    connect(&deadline, &ClockTimer::timeout, this, &PackageFetch::deadlinePassed);
}

PackageFetch::~PackageFetch()
{
    // The rebuild stops at its next block, and no body outlives its fetch.
    abort();
}

// What the body is held to: the patch's values, or the package's own.
const PackageCheck &PackageFetch::check() const
{
    return target.isPatched() ? target.patch.check : planned.offer.check;
}

void PackageFetch::start(int deadlineMs)
{
    if (state != State::Idle)
        return;
    state = State::Receiving;
    if (!openBodyFile())
        return;
    // A body nobody announced a size for still ends at the updater's own bound.
    if (check().has(PackageCheck::Size))
        sink.start(&bodyFile, check().digest.algorithm(), check().size,
                   PackageVerifier::wrongSize(planned.name(), check().size));
    else
        sink.start(&bodyFile, check().digest.algorithm(), maximumPackageSize,
                   OfferPolicy::tooLarge(planned.name(), maximumPackageSize));
    connect(&http, &HttpClient::requestFinished, this, &PackageFetch::requestFinished);
    connect(&http, &HttpClient::dataReadProgress, this,
            [this](qint64 done, qint64) { emit received(done); });
    connect(&http, &HttpClient::responseHeaderReceived, this,
            &PackageFetch::responseHeaderReceived);
    connect(&http, &HttpClient::bodyRestarted, this, &PackageFetch::bodyRestarted);
    const QUrl url = target.isPatched() ? target.patch.link : planned.url;
    http.setHost(url.host(), packagePort);
    getRequestId = http.get(url.path(), &sink);
    deadline.start(deadlineMs);
}

void PackageFetch::abort()
{
    if (state == State::Ended)
        return;
    state = State::Ended;
    rebuild.disconnect(this);
    rebuild.cancel();
    stopTransfer();
}

// The body goes where nothing else of the run is, and becomes the package only once verified.
bool PackageFetch::openBodyFile()
{
    FileDescriptor descriptor;
    if (const Failure failure = downloads.createBodyFile(index, planned.name(), &descriptor)) {
        fail(failure);
        return false;
    }
    // Unbuffered, so that a full disk shows at the write that meets it.
    if (!descriptor.handTo(bodyFile, QIODevice::ReadWrite | QIODevice::Unbuffered)) {
        downloads.removeBody(index);
        fail(Failure(Failure::Storage, bodyFile.errorString()));
        return false;
    }
    return true;
}

void PackageFetch::requestFinished(int id, const Failure &failure)
{
    if (state != State::Receiving || id != getRequestId)
        return;
    if (!failure) {
        bodyReceived();
        return;
    }
    // A full disk names the package and the place, in the user's language.
    if (bodyFile.isOpen() && bodyFile.error() != QFileDevice::NoError)
        fail(storageFailure(bodyFile.errorString(),
                            bodyFile.error() == QFileDevice::ResourceError ? ENOSPC : 0));
    else
        fail(failure);
}

void PackageFetch::responseHeaderReceived(const HttpResponseHeader &resp)
{
    if (state != State::Receiving || resp.isSuccess())
        return;
    // An error page or a redirect is never stored as a package.
    fail(Failure(Failure::Network, statusFailure(planned.name(), resp)));
}

// The server sent the whole package again: the body starts over, and so does its digest.
void PackageFetch::bodyRestarted()
{
    if (state == State::Receiving && !sink.restart())
        fail(storageFailure(bodyFile.errorString()));
}

// However the bytes come, a trickle or a body broken off and resumed again and again, a
// package's download ends within a time its size allows.
void PackageFetch::deadlinePassed()
{
    if (state == State::Receiving)
        fail(Failure(Failure::Network, slowFailure(planned.name(), deadline.interval())));
}

void PackageFetch::bodyReceived()
{
    deadline.stop();
    if (!bodyFile.flush()) {
        fail(storageFailure(bodyFile.errorString()));
        return;
    }
    const Failure refused = verifyBody();
    if (refused) {
        fail(refused);
        return;
    }
    sink.finish();
    bodyFile.close();
    http.disconnect(this);
    if (target.isPatched())
        rebuildFromPatch();
    else
        adoptBody();
}

// Checked before the body is handed on: nothing is unpacked that was not verified.
Failure PackageFetch::verifyBody()
{
    // Size and digest come from the reply; a patch's statement names the version it patches.
    const PackageStatement identity {planned.offer.project,
                                     planned.name(),
                                     planned.offer.type,
                                     planned.offer.version,
                                     -1,
                                     Digest(),
                                     target.patch.from};
    return verifier.verify(bodyFile.size(), sink.digest(), check(), identity);
}

void PackageFetch::adoptBody()
{
    if (const Failure failure = downloads.adoptBody(index, planned.archivePath, planned.name())) {
        downloads.removeBody(index);
        fail(failure);
        return;
    }
    succeed({});
}

// The verified patch becomes the whole package, unpacked, for the installation run to take as
// if it had come from the server. Off the event loop: a large release takes seconds, during
// which the windows must go on answering.
void PackageFetch::rebuildFromPatch()
{
    state = State::Rebuilding;
    const QString type = planned.offer.type;
    const ManifestWalker::Identity identity {planned.offer.project, planned.name(), type};
    const QString installDir = installation.directoryFor(type);
    const QString urlPath = planned.archivePath;
    const DownloadDirectory *directory = &downloads;
    const int body = index;
    auto patch = std::make_shared<PatchPackage>(DownloadDirectory::bodyName(index),
                                                target.patch.link.path(), target.wholeSize);
    auto failure = std::make_shared<Failure>();
    connect(&rebuild, &BackgroundJob::done, this, [this, patch, failure] {
        if (state != State::Rebuilding)
            return;
        if (!*failure) {
            succeed(patch->unpackedFiles());
            return;
        }
        // A full disk is the disk's failure, which the whole package would meet as well.
        fail(failure->kind() == Failure::Storage
                 ? storageFailure(qt_error_string(failure->systemError()), failure->systemError())
                 : *failure);
    });
    rebuild.start([=](const std::atomic_bool &cancelled) {
        patch->setCancelFlag(&cancelled);
        *failure = patch->rebuild(identity, installDir, *directory, urlPath);
        directory->removeBody(body);
    });
}

Failure PackageFetch::storageFailure(const QString &reason, int systemError) const
{
    return Failure(Failure::Storage, DownloadDirectory::storeFailure(planned.name(), reason),
                   systemError);
}

void PackageFetch::succeed(const QStringList &rebuiltFiles)
{
    state = State::Ended;
    emit fetched(rebuiltFiles);
}

void PackageFetch::fail(const Failure &failure)
{
    if (state == State::Ended)
        return;
    state = State::Ended;
    stopTransfer();
    emit failed(failure);
}

// Whatever is still queued is dropped; the client's own report of the abort is not this
// fetch's.
void PackageFetch::stopTransfer()
{
    deadline.stop();
    http.disconnect(this);
    if (getRequestId != 0)
        http.abort();
    discardBodyFile();
}

// A partly written package must never be taken for a whole one.
void PackageFetch::discardBodyFile()
{
    sink.finish();
    if (!bodyFile.isOpen())
        return;
    bodyFile.close();
    downloads.removeBody(index);
}
