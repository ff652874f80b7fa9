#include "enginerun.h"

#include "fakeupdateserver.h"
#include "messageboxanswerer.h"
#include "standinmessenger.h"
#include "testinstallation.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

EngineRun::EngineRun(const RunSettings &settings,
                     const std::function<bool(const QString &temp)> &prepare,
                     const QByteArray &smallDisk)
    : ready(temp.isValid() && home.isValid() && qputenv("TMPDIR", QFile::encodeName(temp.path()))
            && qputenv("HOME", QFile::encodeName(home.path())) && qunsetenv("XDG_CACHE_HOME")
            && (!prepare || prepare(temp.path()))
            && (smallDisk.isEmpty() || mountSmallDisk(smallDisk)))
    , engine(testInstallation(), settings, testPrompter())
{
    watch(&engine);
}

// Where the engine will choose its download directory. A disk that cannot be mounted is for
// the test to skip on, not a failure.
bool EngineRun::mountSmallDisk(const QByteArray &size)
{
    const QString dir = temp.path() + QStringLiteral("/tupdates");
    if (QDir().mkpath(dir))
        disk.emplace(dir, size);
    return true;
}

RunSettings EngineRun::settings(const QStringList &keys)
{
    RunSettings settings = testSettings();
    settings.packageKeys = keys;
    settings.serverTimeoutMs = 10000;
    settings.messengerTimeoutMs = 10000;
    return settings;
}

// Later runs and the test's own temporary directories go where they would without this run.
EngineRun::~EngineRun()
{
    for (const QString &name :
         {QStringLiteral("TMPDIR"), QStringLiteral("HOME"), QStringLiteral("XDG_CACHE_HOME")}) {
        if (before.contains(name))
            qputenv(name.toLatin1().constData(), before.value(name).toLocal8Bit());
        else
            qunsetenv(name.toLatin1().constData());
    }
}

bool EngineRun::offer(const QList<Offer> &offers)
{
    QList<Offer> requested;
    for (const Offer &offer : offers) {
        if (offer.requested)
            requested.append(offer);
    }
    if (!StandInMessenger::writeAskingFor(replyOffering(requested)))
        return false;
    MessageBoxAnswerer answerer;
    FakeUpdateServer updateServer;
    updateServer.setBehaviour(FakeUpdateServer::AnswerAndClose);
    updateServer.setReply({replyOffering(offers)});
    if (!updateServer.listen())
        return false;
    checkFailure = engine.checkUpdates();
    // The engine tells of a failure; only the windows show it.
    return !checkFailure && engine.getUpdates().size() == offers.size() && answerer.count() == 0;
}

HttpTestServer &EngineRun::packageServer()
{
    if (!packages.isListening() && !packages.listen())
        qWarning("The package server cannot listen on port 80.");
    return packages;
}

void EngineRun::installWhenDownloaded()
{
    connect(&engine, &VornUpdaterEngine::downloadFinished, &engine,
            &VornUpdaterEngine::installUpdates);
}

QString EngineRun::plugin(const QString &name) const
{
    return home.path() + QStringLiteral("/.Vorn/plugins/") + name;
}

bool EngineRun::nothingInstalled() const
{
    return !QFileInfo::exists(home.path() + QStringLiteral("/.Vorn"));
}
