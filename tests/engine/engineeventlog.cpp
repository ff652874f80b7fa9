#include "engineeventlog.h"

#include "httptestserver.h"
#include "vornupdaterengine.h"

#include <QCoreApplication>
#include <QThread>

void EngineEventLog::watch(VornUpdaterEngine *engine)
{
    connect(engine, &VornUpdaterEngine::downloadFile, this,
            [this](const QString &name) { events.append(QStringLiteral("file ") + name); });
    connect(engine, &VornUpdaterEngine::downloadProgress, this,
            [this](int done) { events.append(QStringLiteral("progress %1").arg(done)); });
    connect(engine, &VornUpdaterEngine::downloadFinished, this,
            [this] { events.append(QStringLiteral("finished")); });
    connect(engine, &VornUpdaterEngine::failed, this, [this](const Failure &failure) {
        events.append(QStringLiteral("error ") + failure.text());
    });
    connect(engine, &VornUpdaterEngine::installFinished, this,
            [this] { events.append(QStringLiteral("installed")); });
}

bool EngineEventLog::over() const
{
    return count(QStringLiteral("finished")) + count(QStringLiteral("error")) > 0;
}

int EngineEventLog::count(const QString &kind) const
{
    int found = 0;
    for (const QString &event : events)
        found += event == kind || event.startsWith(kind + QLatin1Char(' '));
    return found;
}

QList<int> EngineEventLog::percents() const
{
    QList<int> values;
    for (const QString &event : events) {
        if (event.startsWith(QLatin1String("progress ")))
            values.append(event.mid(9).toInt());
    }
    return values;
}

bool EngineEventLog::staysQuiet(HttpTestServer &server) const
{
    const qsizetype emitted = events.size();
    const qsizetype requested = server.requests().size();
    server.closeAll();
    // The client learns of each closed connection through posted events.
    for (int round = 0; round < 10; ++round) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        QThread::yieldCurrentThread();
    }
    return events.size() == emitted && server.requests().size() == requested;
}
