#include "vornupdaterengine.h"

#include "downloaddirectory.h"
#include "offerpolicy.h"
#include "packagedownload.h"
#include "runlock.h"
#include "update.h"

VornUpdaterEngine::VornUpdaterEngine(const Installation &installation, const RunSettings &settings)
    : installation(installation)
    , maximumPackageSize(settings.maximumPackageSize)
    , verifier(settings.packageKeys)
    , runLock(std::make_unique<RunLock>())
    , check(installation, settings)
    , download(std::make_unique<PackageDownload>(installation, settings, verifier, plan))
    , install(installation)
{
    connect(download.get(), &PackageDownload::downloadProgress, this,
            &VornUpdaterEngine::downloadProgress);
    connect(download.get(), &PackageDownload::downloadFile, this, &VornUpdaterEngine::downloadFile);
    connect(download.get(), &PackageDownload::downloadFinished, this,
            &VornUpdaterEngine::downloadFinished);
    connect(download.get(), &PackageDownload::failed, this,
            [this](const Failure &failure) { emit error(failure.text()); });
    connect(&install, &InstallRun::installProgress, this, &VornUpdaterEngine::installProgress);
    connect(&install, &InstallRun::installFile, this, &VornUpdaterEngine::installFile);
    connect(&install, &InstallRun::installFinished, this, &VornUpdaterEngine::installFinished);
    // The next run must find the way free.
    connect(&install, &InstallRun::restartRequested, this, [this] { runLock->release(); });
}

VornUpdaterEngine::~VornUpdaterEngine()
{
    // The download ends first: its rebuild stops and its body goes.
    const bool downloaded = download->hasBegun();
    download.reset();
    // Nor does anything else the download made stay, when no installation run took it over.
    DownloadDirectory directory(installation.downloadDir);
    if (downloaded && !install.hasStarted() && directory.open())
        directory.clear();
    clearUpdates();
}

bool VornUpdaterEngine::updatesAvailable() const
{
    return !updates.isEmpty();
}

QVector<Update *> VornUpdaterEngine::getUpdates() const
{
    return updates;
}

QString VornUpdaterEngine::getLog() const
{
    return install.getLog();
}

void VornUpdaterEngine::clearUpdates()
{
    qDeleteAll(updates);
    updates.clear();
    plan.clear();
}

RunLock::Outcome VornUpdaterEngine::lockRun()
{
    return runLock->acquire(installation);
}

void VornUpdaterEngine::recoverInterruptedRun()
{
    install.recoverInterruptedRun();
}

void VornUpdaterEngine::startCheck()
{
    check.start();
}

bool VornUpdaterEngine::checkUpdates()
{
    clearUpdates();
    const bool checked = check.finish();
    installed = check.installedComponents();
    plan = check.takeOffers();
    for (const PlannedPackage &planned : std::as_const(plan))
        updates.append(planned.update);
    return checked;
}

void VornUpdaterEngine::beginDownload()
{
    OfferPolicy policy(installation, installed, verifier, maximumPackageSize);
    download->begin(policy);
}

void VornUpdaterEngine::abortDownload()
{
    download->abort();
}

void VornUpdaterEngine::installUpdates()
{
    install.run(plan, download->results());
}
