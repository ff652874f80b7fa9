#include "vornupdaterengine.h"

#include "downloaddirectory.h"
#include "offerpolicy.h"
#include "packagedownload.h"
#include "runlock.h"

#include <algorithm>

VornUpdaterEngine::VornUpdaterEngine(const Installation &installation, const RunSettings &settings,
                                     RunPrompter &prompter)
    : installation(installation)
    , downloads(std::make_unique<DownloadDirectory>(installation.downloadDir))
    , maximumPackageSize(settings.maximumPackageSize)
    , verifier(settings.packageKeys)
    , runLock(std::make_unique<RunLock>())
    , check(installation, settings)
    , download(
          std::make_unique<PackageDownload>(installation, *downloads, settings, verifier, plan))
    , install(installation, *downloads, prompter)
    , reports(settings)
{
    // A directory that cannot be used stays closed: the download reports why.
    downloads->open();
    connect(download.get(), &PackageDownload::downloadProgress, this,
            &VornUpdaterEngine::downloadProgress);
    connect(download.get(), &PackageDownload::downloadFile, this, &VornUpdaterEngine::downloadFile);
    connect(download.get(), &PackageDownload::downloadFinished, this,
            &VornUpdaterEngine::downloadFinished);
    connect(download.get(), &PackageDownload::failed, this, [this](const Failure &failure) {
        reportRun(failure.kind() == Failure::Refused         ? RunReport::Refused
                      : failure.kind() == Failure::Cancelled ? RunReport::Cancelled
                                                             : RunReport::DownloadFailed,
                  failure.kind());
    });
    connect(download.get(), &PackageDownload::failed, this, &VornUpdaterEngine::failed);
    connect(&install, &InstallRun::installProgress, this, &VornUpdaterEngine::installProgress);
    connect(&install, &InstallRun::installFile, this, &VornUpdaterEngine::installFile);
    connect(&install, &InstallRun::installFinished, this, &VornUpdaterEngine::installFinished);
    connect(&install, &InstallRun::quitRequested, this, &VornUpdaterEngine::quitRequested);
    // Before a Retry's next run starts, which would take the report for a killed run's.
    connect(&install, &InstallRun::runFailed, this,
            [this] { reportRun(RunReport::RolledBack, install.failureKind()); });
    // The next run must find the way free.
    connect(&install, &InstallRun::restartRequested, this, [this] { runLock->release(); });
}

VornUpdaterEngine::~VornUpdaterEngine()
{
    // The download ends first: its rebuild stops and its body goes.
    const bool downloaded = download->hasBegun();
    // Downloaded, and then the window closed.
    if (downloaded)
        reportRun(RunReport::Cancelled, Failure::Cancelled);
    download.reset();
    // Nor does anything else the download made stay, when no installation run took it over.
    // Tolerated when it fails: the next download empties the directory first.
    if (downloaded && !install.hasStarted() && downloads->isOpen())
        downloads->clear();
}

bool VornUpdaterEngine::updatesAvailable() const
{
    return !plan.isEmpty();
}

QVector<Update> VornUpdaterEngine::getUpdates() const
{
    QVector<Update> updates;
    updates.reserve(plan.size());
    for (const PlannedPackage &planned : plan)
        updates.append(planned.offer.toUpdate());
    return updates;
}

QString VornUpdaterEngine::getLog() const
{
    return install.getLog();
}

Failure VornUpdaterEngine::lockRun()
{
    return runLock->acquire(installation, *downloads);
}

void VornUpdaterEngine::recoverInterruptedRun()
{
    install.recoverInterruptedRun();
    reports.adoptInterrupted();
}

void VornUpdaterEngine::startCheck()
{
    check.start();
}

Failure VornUpdaterEngine::checkUpdates()
{
    plan.clear();
    const Failure failure = check.finish();
    // What earlier runs could not send goes once the server has been asked.
    reports.sendQueued();
    installed = check.installedComponents();
    for (OfferedPackage &offer : check.takeOffers())
        plan.append(PlannedPackage(std::move(offer)));
    return failure;
}

void VornUpdaterEngine::beginDownload()
{
    OfferPolicy policy(installation, installed, verifier, maximumPackageSize);
    download->begin(policy);
}

void VornUpdaterEngine::abortDownload()
{
    download->abort();
    if (download->hasBegun())
        reportRun(RunReport::Cancelled, Failure::Cancelled);
}

void VornUpdaterEngine::installUpdates()
{
    if (!reported)
        reports.keepInterrupted(runReport().document(RunReport::Recovered, Failure::None));
    install.run(plan, download->results());
    if (install.succeeded())
        reportRun(RunReport::Installed, Failure::None);
}

RunReport VornUpdaterEngine::runReport() const
{
    RunReport report;
    const QVector<FetchedPackage> &fetched = download->results();
    for (int i = 0; i < plan.size(); ++i) {
        const OfferedPackage &offer = plan.at(i).offer;
        const auto before = std::find_if(
            installed.cbegin(), installed.cend(), [&offer](const QueriedComponent &component) {
                return component.name == offer.name && component.project == offer.project
                    && component.type == offer.type;
            });
        report.add({offer.name, offer.project, offer.type,
                    before == installed.cend() ? QString() : before->version, offer.version,
                    fetched.value(i).isPatched()});
    }
    return report;
}

void VornUpdaterEngine::reportRun(RunReport::Outcome outcome, Failure::Kind reason)
{
    if (reported)
        return;
    reported = true;
    const RunReport report = runReport();
    if (!report.isEmpty())
        reports.report(report.document(outcome, reason));
}
