#include "vornupdaterengine.h"

#include "dottedversion.h"
#include "downloaddirectory.h"
#include "installjournal.h"
#include "packagestatement.h"
#include "patchpackage.h"
#include "pathbeneath.h"
#include "plainname.h"
#include "proxyenvironment.h"
#include "queryparser.h"
#include "removedir.h"
#include "replysignature.h"
#include "runlock.h"
#include "textconversion.h"
#include "translated.h"
#include "update.h"
#include "updatequery.h"
#include "updatereply.h"
#include "vornconfig.h"
#include "vornupdatepackage.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDebug>
#include <QDir>
#include <QMessageBox>
#include <QProcess>
#include <QStringList>
#include <QUrl>

#include <limits>
#include <memory>
#include <vector>

namespace {

const quint16 updateServerPort = 443;

void showRollbackFailure()
{
    QMessageBox::critical(nullptr, translated("Update"),
                          translated("An error occured while rolling back update progress. "
                                     "Software may not work properly. Try reinstalling whole "
                                     "application"),
                          QMessageBox::Ok);
}

void showCheckFailure(const char *text)
{
    QMessageBox::critical(nullptr, translated("Check updates"), translated(text), QMessageBox::Ok,
                          QMessageBox::Ok);
}

} // namespace

VornUpdaterEngine::VornUpdaterEngine(const Installation &installation)
    : VornUpdaterEngine(installation, PackageVerifier::buildTimeKeys())
{ }

VornUpdaterEngine::VornUpdaterEngine(const Installation &installation,
                                     const QStringList &packageKeys)
    : installation(installation)
    , runLock(std::make_unique<RunLock>())
    , verifier(packageKeys)
    , replyKeys(PackageVerifier::splitKeys(QStringLiteral(VORN_REPLY_PUBLIC_KEYS)))
    , maximumPackageSize(VORN_MAXIMUM_PACKAGE_SIZE)
{
    downloadDir = installation.downloadDir;

    connect(&http, &HttpClient::requestFinished, this, &VornUpdaterEngine::requestFinished);
    connect(&http, &HttpClient::dataReadProgress, this, &VornUpdaterEngine::dataReadProgress);
    connect(&http, &HttpClient::responseHeaderReceived, this,
            &VornUpdaterEngine::responseHeaderReceived);
    connect(&http, &HttpClient::bodyRestarted, this, &VornUpdaterEngine::restartBody);
    packageDeadline.setSingleShot(true);
    connect(&packageDeadline, &QTimer::timeout, this, &VornUpdaterEngine::deadlinePassed);
}

VornUpdaterEngine::~VornUpdaterEngine()
{
    // A rebuild under way writes into the download directory until it ends, which it does at
    // its next block once told.
    cancelRebuild = true;
    if (rebuilder)
        rebuilder->wait();
    // A window closed or the session ending during the download: no body outlives its run,
    // and nobody is told of the abort any more.
    http.disconnect(this);
    http.abort();
    discardPackageFile();
    // Nor does anything else the download made, when no installation run took it over.
    DownloadDirectory directory(downloadDir);
    if (downloadBegun && !installStarted && directory.open())
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
    return log;
}

void VornUpdaterEngine::setCheckTimeouts(int serverMs, int messengerMs)
{
    serverTimeout = serverMs;
    messengerTimeout = messengerMs;
}

void VornUpdaterEngine::setNetworkBounds(int checkMs, int stallMs)
{
    checkDeadline = checkMs;
    http.setStallTimeout(stallMs);
}

void VornUpdaterEngine::setDownloadDeadline(int baseMs, qint64 bytesPerSecond)
{
    deadlineBase = baseMs;
    deadlineRate = bytesPerSecond;
}

void VornUpdaterEngine::setRetryPauses(const QList<int> &milliseconds)
{
    http.setRetryPauses(milliseconds);
}

void VornUpdaterEngine::setMaximumPackageSize(qint64 bytes)
{
    maximumPackageSize = bytes;
}

void VornUpdaterEngine::clearUpdates()
{
    qDeleteAll(updates);
    updates.clear();
    checks.clear();
    offeredPatches.clear();
    patches.clear();
    rebuiltFiles.clear();
}

bool VornUpdaterEngine::lockRun()
{
    // The plug-in directory may not exist yet, and a run that makes it must not slip past a
    // run that found none: the home directory holding it stands for it.
    QStringList installDirs {installation.homeDir};
    if (!installation.root.isNull())
        installDirs.append(installation.root);
    return runLock->acquire(downloadDir, installDirs);
}

void VornUpdaterEngine::recoverInterruptedRun()
{
    // A journal is ours only in a directory of this user that nobody else can write to: one
    // planted in a directory of someone else's making would copy their files over the user's.
    DownloadDirectory directory(downloadDir);
    if (!directory.open())
        return;
    // Bodies that a killed run never verified are of no use to anyone.
    directory.removeUnverified();
    QStringList installDirs {installation.pluginDir()};
    if (!installation.root.isNull())
        installDirs.append(installation.root);
    switch (InstallJournal::recover(downloadDir, installDirs)) {
    case InstallJournal::NothingToRecover:
    case InstallJournal::Discarded:
        break;
    case InstallJournal::Recovered:
        QMessageBox::information(nullptr, translated("Update"),
                                 translated("An interrupted update was undone."));
        break;
    case InstallJournal::RestoreFailed:
        showRollbackFailure();
        break;
    }
}

bool VornUpdaterEngine::checkUpdates()
{
    const QByteArray query = cutUpdateQuery(askMessenger());
    clearUpdates();
    // What is installed, for the download to refuse offers that are not newer.
    QueryParser parser(query.size());
    parser.append(query);
    installed = parser.components();
    return exchangeWithServer(query, parser.query());
}

QByteArray VornUpdaterEngine::askMessenger() const
{
    QProcess messenger;
    messenger.setProcessChannelMode(QProcess::MergedChannels);
    // Program and argument apart, so that an application directory with blanks works.
    messenger.start(installation.messenger(), {QStringLiteral("-updatequery")},
                    QIODevice::ReadWrite);
    messenger.waitForStarted(-1);
    // A messenger that never exits must not leave an invisible updater hanging.
    if (!messenger.waitForFinished(messengerTimeout) && messenger.state() != QProcess::NotRunning) {
        messenger.kill();
        messenger.waitForFinished(-1);
    }
    return messenger.readAll();
}

bool VornUpdaterEngine::exchangeWithServer(const QByteArray &query, const QByteArray &signedQuery)
{
    // A fresh nonce makes every signed reply fit this exchange alone.
    const QByteArray nonce = replyKeys.isEmpty() ? QByteArray() : ReplySignature::newNonce();
    // One deadline for the whole exchange: a server that drips a byte now and then must not
    // keep the invisible check waiting, however short each pause.
    const QDeadlineTimer deadline(checkDeadline);
    const auto wait
        = [this, &deadline] { return int(qMin<qint64>(serverTimeout, deadline.remainingTime())); };
    // A new exchange never reads the leftovers of an earlier one.
    socket.abort();
    socket.setProxy(
        ProxyEnvironment::forExchange(QStringLiteral(VORN_UPDATE_SERVER_HOST), updateServerPort));
    socket.connectToHost(QStringLiteral(VORN_UPDATE_SERVER_HOST), updateServerPort,
                         QIODevice::ReadWrite);
    if (!socket.waitForConnected(wait())) {
        showCheckFailure("Couldn't connect to update server. Check your internet connection.");
        return false;
    }
    const QByteArray sent
        = replyKeys.isEmpty() ? query : ReplySignature::nonceElement(nonce) + query;
    if (!sent.isEmpty()) {
        socket.write(sent);
        socket.waitForBytesWritten(wait());
    }

    UpdateReply reply;
    while (reply.status() == UpdateReply::Incomplete && !deadline.hasExpired()) {
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(wait()))
            break;
        reply.append(socket.readAll());
    }
    // Only a reply its server signed for this very exchange decides what the run does.
    QString forged;
    if (reply.status() == UpdateReply::Complete && !replyKeys.isEmpty()) {
        if (nonce.isEmpty())
            forged = QStringLiteral("no nonce could be made");
        else
            ReplySignature::verify(reply.bytes(), replyKeys, nonce, signedQuery, &forged);
        if (!forged.isEmpty())
            qWarning().noquote()
                << QStringLiteral("The update server's reply is refused: %1.").arg(forged);
    }
    if (reply.status() != UpdateReply::Complete || !forged.isEmpty()) {
        showCheckFailure("An error occured while comunicating update server. Check your "
                         "internet connection.");
        return false;
    }
    updates = reply.takeUpdates(&checks, &offeredPatches);
    return true;
}

// Package download.

namespace {

// Packages are always fetched from the standard port, whatever the link names.
const quint16 packagePort = 80;

QUrl packageUrl(const Update *update)
{
    return QUrl(latin1(update->getLink()));
}

// The file name comes from the package address, which the server controls.
bool staysInside(const QString &dir, const QString &path)
{
    if (path.contains(QChar(0)) || path.startsWith(QLatin1String("//"))
        || path.split(QLatin1Char('/')).contains(QLatin1String("..")))
        return false;
    const QString root = QDir::cleanPath(dir);
    const QString target = QDir::cleanPath(root + QLatin1Char('/') + path);
    return target == root || target.startsWith(root + QLatin1Char('/'));
}

QString refusal(const QString &name)
{
    return translated("Refusing to store package %1: its address leaves the download directory.")
        .arg(name);
}

QString workPlaceRefusal(const QString &name)
{
    return translated("Refusing to store package %1: its address names a place where the updater "
                      "keeps its own files.")
        .arg(name);
}

QString tooLarge(const QString &name, qint64 bound)
{
    return translated("Package %1 is larger than the %2 bytes the updater downloads, so it will "
                      "not be installed.")
        .arg(name)
        .arg(bound);
}

QString nameRefusal(const QString &name)
{
    return translated("The update server named a component \"%1\", which cannot be used as a "
                      "name, so no update is downloaded.")
        .arg(name);
}

QString unrequestedRefusal(const QString &name)
{
    return translated("The update server offered package %1, which the messenger did not ask "
                      "for, so no update is downloaded.")
        .arg(name);
}

QString repeatedRefusal(const QString &name)
{
    return translated("The update server offered package %1 more than once, so no update is "
                      "downloaded.")
        .arg(name);
}

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

void VornUpdaterEngine::beginDownload()
{
    // The download is made once in the life of an engine.
    if (downloadState != Idle || downloadEnded)
        return;
    downloadBegun = true;
    downloadState = Sizing;
    getUpdatesSize();
}

void VornUpdaterEngine::abortDownload()
{
    downloadState = Aborted;
    cancelRebuild = true;
    http.abort();
    discardPackageFile();
}

void VornUpdaterEngine::getUpdatesSize()
{
    const QVector<Update *> list = updates;
    // Refused before any request, so that no byte of the run is fetched for nothing.
    DownloadDirectory directory(downloadDir);
    if (!directory.open()) {
        failDownload(directory.errorString());
        return;
    }
    const QString refused = refusalOfRun();
    if (!refused.isEmpty()) {
        failDownload(refused);
        return;
    }
    // Nothing an earlier run left may pass for a package or a backup of this one, and the
    // announced packages must fit, so that a full disk is found before the download.
    patches.clear();
    packageSizes.clear();
    qint64 announced = 0;
    for (qsizetype i = 0; i < updates.size(); ++i) {
        patches.append(patchFor(updates.at(i), offeredPatches.value(i)));
        const PackageCheck check = fetchedCheck(i);
        announced += check.has(PackageCheck::Size) ? check.size : 0;
    }
    if (!directory.clear() || !directory.hasRoomFor(announced)) {
        failDownload(directory.errorString());
        return;
    }
    // During sizing currentIndex counts the HEAD responses, naming the package of each.
    currentIndex = 0;
    for (const Update *update : list) {
        const QUrl url = packageUrl(update);
        http.setHost(url.host(), packagePort);
        http.head(url.path());
    }
}

// Names are data, never paths; links never name the updater's own places; a signature binds
// the package to its component and version, which must be newer than the installed one.
QString VornUpdaterEngine::refusalOfRun() const
{
    QList<QByteArray> names;
    QList<QList<QByteArray>> paths;
    for (const Update *update : updates) {
        for (const std::string *text :
             {&update->getProject(), &update->getName(), &update->getType()}) {
            if (!isPlainName(latin1(*text)) || DownloadDirectory::isReservedName(latin1(*text)))
                return nameRefusal(latin1(*text));
        }
        // As the working directory's name is written to the disk.
        const QByteArray name = QFile::encodeName(latin1(update->getName()));
        // Only what the messenger asked for, each once: an old signed package of another
        // component, or a second offer of one, would otherwise be installed.
        if (!installedComponent(update))
            return unrequestedRefusal(latin1(update->getName()));
        if (names.contains(name))
            return repeatedRefusal(latin1(update->getName()));
        names.append(name);
        paths.append(PathBeneath::segmentsOf(packageUrl(update).path()));
    }
    for (qsizetype i = 0; i < updates.size(); ++i) {
        const Update *update = updates.at(i);
        const QString name = latin1(update->getName());
        QList<QList<QByteArray>> otherPaths = paths;
        otherPaths.removeAt(i);
        QList<QByteArray> otherNames = names;
        otherNames.removeAt(i);
        // A patch's link is held to the rules of its package's own.
        QStringList links {packageUrl(update).path()};
        for (const PatchOffer &patch : offeredPatches.value(i)) {
            if (!patch.isNull())
                links.append(QUrl(patch.link).path());
        }
        for (const QString &link : std::as_const(links)) {
            if (!staysInside(downloadDir, link))
                return refusal(name);
            if (DownloadDirectory::namesWorkPlace(PathBeneath::segmentsOf(link), otherPaths,
                                                  names.at(i), otherNames))
                return workPlaceRefusal(name);
        }
        const PackageVerifier::Outcome outcome = verifier.precheck(checks.value(i));
        if (outcome != PackageVerifier::Accepted)
            return PackageVerifier::message(outcome, name, checks.value(i));
        if (checks.value(i).has(PackageCheck::Size) && checks.value(i).size > maximumPackageSize)
            return tooLarge(name, maximumPackageSize);
        const QString downgrade = versionRefusal(update);
        if (!downgrade.isEmpty())
            return downgrade;
    }
    return QString();
}

// Compared as dotted numbers. A version that cannot be compared passes only when no
// signature is asked for.
QString VornUpdaterEngine::versionRefusal(const Update *update) const
{
    const QString name = latin1(update->getName());
    const QString offered = latin1(update->getVersion());
    const QueriedComponent *component = installedComponent(update);
    const QVersionNumber offeredNumber = DottedVersion::parse(offered);
    const QVersionNumber installedNumber = DottedVersion::parse(component->version);
    if (offeredNumber.isNull() || installedNumber.isNull()) {
        if (!verifier.requiresSignature())
            return QString();
        return translated("Package %1 is offered as version \"%2\", which cannot be compared "
                          "with the installed version \"%3\", so it will not be installed.")
            .arg(name, offered, component->version);
    }
    if (offeredNumber <= installedNumber)
        return translated("Package %1 is offered as version %2, which is not newer than the "
                          "installed version %3, so it will not be installed.")
            .arg(name, offered, component->version);
    return QString();
}

// The first component of the messenger's query that the update is for, if any.
const QueriedComponent *VornUpdaterEngine::installedComponent(const Update *update) const
{
    const QString project = latin1(update->getProject());
    const QString name = latin1(update->getName());
    const QString type = latin1(update->getType());
    for (const QueriedComponent &component : installed) {
        if (component.project == project && component.name == name && component.type == type)
            return &component;
    }
    return nullptr;
}

// Only for the version installed, and only one that carries the digest and size it will be
// held to: the rebuilt files can be no better than the patch.
PatchOffer VornUpdaterEngine::patchFor(const Update *update, const QList<PatchOffer> &offers) const
{
    const QueriedComponent *component = installedComponent(update);
    if (!component || installation.directoryFor(latin1(update->getType())).isNull())
        return PatchOffer();
    const QVersionNumber version = DottedVersion::parse(component->version);
    for (const PatchOffer &offer : offers) {
        const QUrl url(offer.link);
        if (!version.isNull() && DottedVersion::parse(offer.from) == version
            && offer.check.has(PackageCheck::Sha256) && offer.check.has(PackageCheck::Size)
            && verifier.precheck(offer.check) == PackageVerifier::Accepted
            && offer.check.size <= maximumPackageSize && url.isValid() && !url.path().isEmpty())
            return offer;
    }
    return PatchOffer();
}

// What the body fetched for the update at index is held to: its patch's values, or its own.
PackageCheck VornUpdaterEngine::fetchedCheck(qsizetype index) const
{
    const PatchOffer patch = patches.value(index);
    return patch.isNull() ? checks.value(index) : patch.check;
}

bool VornUpdaterEngine::fetchingPatch() const
{
    return downloadState == Downloading && !patches.value(currentIndex).isNull();
}

void VornUpdaterEngine::downloadUpdates()
{
    currentIndex = 0;
    downloadState = Downloading;
    getCurUpdate();
}

void VornUpdaterEngine::getCurUpdate()
{
    const Update *update = updates.at(currentIndex);
    const PatchOffer patch = patches.value(currentIndex);
    const QUrl url = patch.isNull() ? packageUrl(update) : QUrl(patch.link);
    const QString name = latin1(update->getName());
    emit downloadFile(name);
    if (downloadEnded || downloadState != Downloading)
        return;

    requestDone = 0;
    if (!staysInside(downloadDir, packageUrl(update).path())) {
        failDownload(refusal(name));
        return;
    }
    if (!openBodyFile(name))
        return;
    // A body nobody announced a size for still ends at the updater's own bound.
    const PackageCheck check = fetchedCheck(currentIndex);
    if (check.has(PackageCheck::Size))
        sink.start(&packageFile, check.size,
                   PackageVerifier::message(PackageVerifier::WrongSize, name, check));
    else
        sink.start(&packageFile, maximumPackageSize, tooLarge(name, maximumPackageSize));
    http.setHost(url.host(), packagePort);
    getRequestId = http.get(url.path(), &sink);
    startDeadline(check.has(PackageCheck::Size) ? check.size
                                                : packageSizes.value(currentIndex, -1));
}

// However the bytes come, a trickle or a body broken off and resumed again and again, a
// package's download ends within a time its size allows.
void VornUpdaterEngine::startDeadline(qint64 size)
{
    const qint64 bytes = size >= 0 ? size : maximumPackageSize;
    const qint64 milliseconds = deadlineBase + bytes * 1000 / qMax<qint64>(1, deadlineRate);
    packageDeadline.start(int(qMin<qint64>(milliseconds, std::numeric_limits<int>::max())));
}

void VornUpdaterEngine::deadlinePassed()
{
    if (downloadEnded || downloadState != Downloading)
        return;
    failOrFallBack(
        slowFailure(latin1(updates.at(currentIndex)->getName()), packageDeadline.interval()));
}

// The body goes where nothing else of the run is, and becomes the package only once verified.
bool VornUpdaterEngine::openBodyFile(const QString &name)
{
    DownloadDirectory directory(downloadDir);
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
QString VornUpdaterEngine::verifyPackage(const Update *update)
{
    const PackageCheck check = fetchedCheck(currentIndex);
    // Size and digest come from the reply; a patch's statement names the version it patches.
    const PackageStatement identity {latin1(update->getProject()),
                                     latin1(update->getName()),
                                     latin1(update->getType()),
                                     latin1(update->getVersion()),
                                     -1,
                                     QByteArray(),
                                     patches.value(currentIndex).from};
    const PackageVerifier::Outcome outcome
        = verifier.verify(packageFile.size(), sink.sha256(), check, identity);
    return outcome == PackageVerifier::Accepted
        ? QString()
        : PackageVerifier::message(outcome, identity.name, check);
}

void VornUpdaterEngine::getNextUpdate()
{
    packageDeadline.stop();
    if (!packageFile.flush()) {
        failDownload(packageFile.errorString());
        return;
    }
    const Update *update = updates.at(currentIndex);
    const QString problem = verifyPackage(update);
    if (!problem.isEmpty()) {
        failOrFallBack(problem);
        return;
    }
    sink.finish();
    packageFile.close();
    if (fetchingPatch()) {
        rebuildFromPatch(update);
        return;
    }
    DownloadDirectory directory(downloadDir);
    if (!directory.open()
        || !directory.adoptBody(currentIndex, packageUrl(update).path(),
                                latin1(update->getName()))) {
        QFile::remove(packagePath);
        failDownload(directory.errorString());
        return;
    }
    nextPackage();
}

void VornUpdaterEngine::nextPackage()
{
    ++currentIndex;
    if (currentIndex < updates.size()) {
        getCurUpdate();
        return;
    }
    downloadState = Idle;
    downloadEnded = true;
    if (totalBytes == 0)
        emit downloadProgress(100);
    emit downloadFinished();
}

// The verified patch becomes the whole package, unpacked, for the installation run to take as
// if it had come from the server. In a thread of its own: a large release takes seconds, during
// which the windows must go on answering.
void VornUpdaterEngine::rebuildFromPatch(const Update *update)
{
    const QString type = latin1(update->getType());
    const ManifestWalker::Identity identity {latin1(update->getProject()),
                                             latin1(update->getName()), type};
    const QString installDir = installation.directoryFor(type);
    const QString urlPath = packageUrl(update).path();
    const QString patchPath = packagePath;
    const QString dir = downloadDir;
    auto patch
        = std::make_shared<PatchPackage>(patchPath, QUrl(patches.value(currentIndex).link).path(),
                                         packageSizes.value(currentIndex, -1));
    patch->setCancelFlag(&cancelRebuild);
    auto rebuilt = std::make_shared<bool>(false);
    rebuilder.reset(QThread::create([=] {
        *rebuilt = patch->rebuild(identity, installDir, dir, urlPath);
        QFile::remove(patchPath);
    }));
    connect(rebuilder.get(), &QThread::finished, this, [this, patch, rebuilt] {
        if (downloadEnded || downloadState != Downloading)
            return;
        if (!*rebuilt) {
            fallBack(patch->errorString());
            return;
        }
        rebuiltFiles.resize(updates.size());
        rebuiltFiles[currentIndex] = patch->unpackedFiles();
        nextPackage();
    });
    rebuilder->start();
}

// Silently: the user asked for the update, not for the patch.
void VornUpdaterEngine::fallBack(const QString &reason)
{
    const QString name = latin1(updates.at(currentIndex)->getName());
    qInfo().noquote() << QStringLiteral("The patch for %1 is not used (%2): the whole package is "
                                        "downloaded.")
                             .arg(name, reason);
    progressFloor = qMax(progressFloor, percent(bytesDone, totalBytes));
    bytesDone -= requestDone;
    totalBytes += packageSizes.value(currentIndex) - patches.at(currentIndex).check.size;
    patches[currentIndex] = PatchOffer();
    // The patch's own request ends here, and its report of that is not the download's.
    getRequestId = 0;
    http.abort();
    discardPackageFile();
    getCurUpdate();
}

void VornUpdaterEngine::failOrFallBack(const QString &text)
{
    if (fetchingPatch() && !downloadEnded)
        fallBack(text);
    else
        failDownload(text);
}

void VornUpdaterEngine::failDownload(const QString &text)
{
    if (downloadEnded)
        return;
    downloadEnded = true;
    packageDeadline.stop();
    // Whatever is still queued is dropped; the client's own report of the abort is ignored.
    http.abort();
    discardPackageFile();
    emit error(text);
}

// A partly written package must never be taken for a whole one.
void VornUpdaterEngine::discardPackageFile()
{
    sink.finish();
    if (!packageFile.isOpen())
        return;
    packageFile.close();
    QFile::remove(packagePath);
}

void VornUpdaterEngine::requestFinished(int id, bool error)
{
    if (downloadEnded || downloadState == Aborted)
        return;
    if (error) {
        if (downloadState == Downloading && id != getRequestId)
            return;
        // A full disk names the package and the place, in the user's language.
        if (packageFile.isOpen() && packageFile.error() != QFileDevice::NoError)
            failOrFallBack(DownloadDirectory::storeFailure(
                latin1(updates.at(currentIndex)->getName()), packageFile.errorString()));
        else
            failOrFallBack(http.errorString());
        return;
    }
    if (downloadState == Downloading && id == getRequestId)
        getNextUpdate();
}

void VornUpdaterEngine::dataReadProgress(qint64 done, qint64)
{
    bytesDone += done - requestDone;
    requestDone = done;
    emit downloadProgress(qMax(progressFloor, percent(bytesDone, totalBytes)));
}

void VornUpdaterEngine::responseHeaderReceived(const HttpResponseHeader &resp)
{
    if (downloadEnded || (downloadState != Sizing && downloadState != Downloading))
        return;
    // An error page or a redirect is never stored as a package.
    if (!resp.isSuccess()) {
        const Update *update = updates.value(currentIndex);
        failOrFallBack(statusFailure(update ? latin1(update->getName()) : QString(), resp));
        return;
    }
    if (downloadState != Sizing)
        return;
    // The size in the server's reply is the one the download holds the package to.
    const PackageCheck check = checks.value(currentIndex);
    packageSizes.append(check.has(PackageCheck::Size) ? check.size : resp.contentLength());
    const PatchOffer patch = patches.value(currentIndex);
    totalBytes += patch.isNull() ? packageSizes.constLast() : patch.check.size;
    ++currentIndex;
    // The header of the last HEAD starts the first GET.
    if (!http.hasPendingRequests())
        downloadUpdates();
}

// The server sent the whole package again: the body starts over, and so does its digest.
void VornUpdaterEngine::restartBody()
{
    if (!sink.restart())
        failDownload(packageFile.errorString());
}

// Installation run.

void VornUpdaterEngine::installUpdates()
{
    installStarted = true;
    // Every package object lives until the run ends: a rollback works from their records.
    std::vector<std::unique_ptr<VornUpdatePackage>> packages;
    InstallJournal journal(downloadDir);
    const int count = updates.size();
    for (int i = 0; i < count; ++i) {
        const Update *update = updates.at(i);
        packages.push_back(std::make_unique<VornUpdatePackage>(updates.at(i), installation));
        // A failed root check has told the user and asked the application to quit; the run
        // ends without a rollback.
        if (!packages.back()->isValid()) {
            journal.finish();
            return;
        }
        packages.back()->setJournal(&journal);
        if (!patches.value(i).isNull())
            packages.back()->setUnpacked(rebuiltFiles.value(i));
        const QString name = latin1(update->getName());
        emit installFile(name);
        log += translated("Installing package %1:",
                          "status information about currently installed package")
                   .arg(name)
            + QLatin1Char('\n');
        QString errorText;
        QStringList files;
        if (!packages.back()->install(downloadDir, errorText, files)) {
            rollBack(packages, name, errorText, journal);
            return;
        }
        files.sort();
        log += files.join(QLatin1Char('\n')) + QStringLiteral("\n\n");
        emit installProgress((i + 1) * 100 / count);
    }

    // Flushes everything installed before the run counts as done.
    journal.finish();
    installSucceeded = true;
    runFixScript();
    emit installFinished();
    removeDir(downloadDir);
}

void VornUpdaterEngine::rollBack(const std::vector<std::unique_ptr<VornUpdatePackage>> &packages,
                                 const QString &failedName, const QString &errorText,
                                 InstallJournal &journal)
{
    QString text = translated("Failed installing package ") + failedName;
    if (!errorText.isEmpty())
        text += QLatin1Char('\n') + errorText;
    const QMessageBox::StandardButton answer
        = QMessageBox::warning(nullptr, translated("Update"), text,
                               QMessageBox::Abort | QMessageBox::Retry, QMessageBox::Retry);

    emit installFile(
        translated("Rollback update", "restoring application to state before installing update"));
    emit installProgress(0);
    // Newest first: when two packages replaced the same file, the oldest backup (the file as
    // it stood before the run) must be the one restored last.
    // A failed unwind ends the application, but only once the rollback is over: quitting at
    // once would close the install window and let every later box return unseen.
    bool unwindFailed = false;
    const int count = updates.size();
    for (int step = 1; step <= count; ++step) {
        const size_t index = size_t(count - step);
        if (index < packages.size() && !packages[index]->unwind(downloadDir)) {
            showRollbackFailure();
            unwindFailed = true;
        }
        emit installProgress(step * 100 / count);
    }

    log = QStringLiteral("An error occured while installing updates");
    journal.finish();
    emit installFinished();
    removeDir(downloadDir);

    if (answer == QMessageBox::Retry) {
        // The new run must find the way free.
        runLock->release();
        QProcess::startDetached(installation.program, installation.arguments);
    }
    if (unwindFailed || answer == QMessageBox::Retry)
        QCoreApplication::quit();
}

void VornUpdaterEngine::runFixScript() const
{
    // Script and directory as separate arguments: no shell ever parses the directory.
    QProcess::execute(QStringLiteral("sh"),
                      {installation.fixScript(), installation.applicationDir});
}
