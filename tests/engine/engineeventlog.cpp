#include "engineeventlog.h"

#include "httptestserver.h"
#include "vornupdaterengine.h"

#include <QTest>

void EngineEventLog::watch(VornUpdaterEngine *engine)
{
    connect(engine, &VornUpdaterEngine::downloadFile, this,
            [this](const QString &name) { events.append(QStringLiteral("file ") + name); });
    connect(engine, &VornUpdaterEngine::downloadProgress, this,
            [this](int done) { events.append(QStringLiteral("progress %1").arg(done)); });
    connect(engine, &VornUpdaterEngine::downloadFinished, this,
            [this] { events.append(QStringLiteral("finished")); });
    connect(engine, &VornUpdaterEngine::error, this,
            [this](const QString &text) { events.append(QStringLiteral("error ") + text); });
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

bool EngineEventLog::staysQuiet(const HttpTestServer &server, int ms) const
{
    const qsizetype emitted = events.size();
    const qsizetype requested = server.requests().size();
    return !QTest::qWaitFor(
        [&] { return events.size() != emitted || server.requests().size() != requested; }, ms);
}
