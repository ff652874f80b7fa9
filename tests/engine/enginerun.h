#ifndef ENGINERUN_H
#define ENGINERUN_H

#include "engineeventlog.h"
#include "httptestserver.h"
#include "offer.h"
#include "smalldisk.h"
#include "vornupdaterengine.h"

#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <functional>
#include <optional>

// One engine with a download directory and a home of its own, the package server on port 80
// that it fetches from, and everything it emitted, in order. TMPDIR and HOME point into the
// run while it lives, and the user's cache lies in HOME.
class EngineRun : public EngineEventLog
{
public:
    // The build's settings, but packages are checked with these keys only, and the check waits
    // 10 s for the server and for the stand-in messenger.
    static RunSettings settings(const QStringList &keys = {});
    // The engine runs with these settings; prepare may lay out the temporary directory before
    // the engine is built. smallDisk: when given, the size of a small disk (see SmallDisk) that
    // the download directory lies on, mounted before the engine opens the directory.
    explicit EngineRun(const RunSettings &settings = EngineRun::settings(),
                       const std::function<bool(const QString &temp)> &prepare = nullptr,
                       const QByteArray &smallDisk = QByteArray());
    ~EngineRun() override;

    // Runs the update check against a stand-in update server that offers these packages, with
    // a stand-in messenger that asks for those requested, installed at 1.0; false when it
    // fails, checkFailure then holding what the user is told.
    bool offer(const QList<Offer> &offers);
    // As the windows do: the installation run follows the download.
    void installWhenDownloaded();
    // The package server on 127.0.0.1:80, listening from the first call on.
    HttpTestServer &packageServer();

    bool installed() const { return count(QStringLiteral("installed")) > 0; }
    QString dir() const { return engine.getDownloadDir(); }
    QString file(const QString &name) const { return dir() + name; }
    // Where the body of the package at this place of the run arrives before it is verified.
    QString body(int index) const { return dir() + QStringLiteral("downloading/%1").arg(index); }
    QString plugin(const QString &name) const;
    bool nothingInstalled() const;
    // Whether the small disk asked for is mounted.
    bool onSmallDisk() const { return disk && disk->isMounted(); }

private:
    const QProcessEnvironment before = QProcessEnvironment::systemEnvironment();
    HttpTestServer packages;

public:
    QTemporaryDir temp;
    QTemporaryDir home;

private:
    // Unmounted once the engine is gone, before the directories are removed.
    std::optional<SmallDisk> disk;
    bool mountSmallDisk(const QByteArray &size);

public:
    bool ready;
    VornUpdaterEngine engine;
    Failure checkFailure;
};

#endif // ENGINERUN_H
