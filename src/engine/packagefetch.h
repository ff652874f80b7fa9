#ifndef PACKAGEFETCH_H
#define PACKAGEFETCH_H

#include "backgroundjob.h"
#include "clocktimer.h"
#include "failure.h"
#include "fetchedpackage.h"
#include "installation.h"
#include "packagesink.h"
#include "plannedpackage.h"

#include <QFile>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class DownloadDirectory;
class HttpClient;
class HttpResponseHeader;
class PackageVerifier;

// The fetch of one package's body, or of the patch that stands in its place: one GET into a
// body file of the download directory, bounded by the announced size and a deadline, verified,
// then adopted as the package or, for a patch, rebuilt into the unpacked package off the event
// loop. It ends once, with fetched() or failed(); nothing of a failed fetch stays.
class PackageFetch : public QObject
{
    Q_OBJECT

public:
    // index: the package's place in the run, which names its body file. The plan, the run's
    // download directory, the client and the verifier outlive the fetch. The deadline is
    // measured on the clock.
    PackageFetch(const Installation &installation, DownloadDirectory &downloads,
                 const PackageVerifier &verifier, HttpClient &http, int index,
                 const PlannedPackage &planned, const FetchedPackage &target,
                 qint64 maximumPackageSize, const std::shared_ptr<const Clock> &clock,
                 QObject *parent = nullptr);
    ~PackageFetch() override;

    void start(int deadlineMs);
    // Stops the transfer or the rebuild, and tells nobody.
    void abort();
    bool fetchesPatch() const { return target.isPatched(); }

    // The text for an answer that is no package: an error page, a redirect.
    static QString statusFailure(const QString &name, const HttpResponseHeader &resp);

signals:
    // The bytes of this body received so far; fewer than before when it starts over.
    void received(qint64 bytes);
    void fetched(const QStringList &rebuiltFiles);
    void failed(const Failure &failure);

private slots:
    void requestFinished(int id, const Failure &failure);
    void responseHeaderReceived(const HttpResponseHeader &resp);
    void bodyRestarted();
    void deadlinePassed();

private:
    enum class State { Idle, Receiving, Rebuilding, Ended };

    const PackageCheck &check() const;
    bool openBodyFile();
    void bodyReceived();
    Failure verifyBody();
    void adoptBody();
    void rebuildFromPatch();
    Failure storageFailure(const QString &reason, int systemError = 0) const;
    void succeed(const QStringList &rebuiltFiles);
    void fail(const Failure &failure);
    void stopTransfer();
    void discardBodyFile();

    const Installation installation;
    DownloadDirectory &downloads;
    const PackageVerifier &verifier;
    HttpClient &http;
    const int index;
    const PlannedPackage &planned;
    const FetchedPackage target;
    const qint64 maximumPackageSize;
    State state = State::Idle;
    int getRequestId = 0;
    // The body, through the sink that bounds and hashes it; the file is opened by descriptor,
    // which leaves it without a name.
    QFile bodyFile;
    PackageSink sink;
    ClockTimer deadline;
    BackgroundJob rebuild;
};

#endif // PACKAGEFETCH_H
