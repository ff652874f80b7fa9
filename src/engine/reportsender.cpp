#include "reportsender.h"

#include "privatedirectory.h"
#include "proxytunnel.h"
#include "runreport.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QRandomGenerator>
#include <QTcpSocket>

#include <chrono>

#include <sys/socket.h>

namespace {

const quint16 updateServerPort = 443;
const QByteArray queuedPrefix = QByteArrayLiteral("report-");
const QByteArray interruptedName = QByteArrayLiteral("interrupted");
const QByteArray accepted = QByteArrayLiteral("<ok/>");
// How long the sending may go on at the end, and once abandoned, at most.
const std::chrono::milliseconds abandonGrace(250);
const int abandonCheckMs = 100;

QString reportsPath(const QString &stateDirectory)
{
    return stateDirectory + QStringLiteral("/reports");
}

// Named by the time it was queued, so that the names sort oldest first.
QByteArray queuedName()
{
    return queuedPrefix
        + QByteArray::number(QDateTime::currentMSecsSinceEpoch()).rightJustified(16, '0') + '-'
        + QByteArray::number(QRandomGenerator::global()->generate(), 16).rightJustified(8, '0');
}

} // namespace

ReportSender::ReportSender(const RunSettings &settings)
    : settings(settings)
{ }

ReportSender::~ReportSender()
{
    // A server that answers takes a report in far less than the grace.
    if (pending.valid() && pending.wait_for(abandonGrace) != std::future_status::ready)
        abandoned = true;
    wait();
}

bool ReportSender::enabled() const
{
    return settings.installReports && !settings.stateDirectory.isEmpty();
}

void ReportSender::wait()
{
    if (pending.valid())
        pending.wait();
}

void ReportSender::keepInterrupted(const QByteArray &document)
{
    if (!enabled())
        return;
    // The state directory first, so that it is made private before what lies in it.
    if (PrivateDirectory(settings.stateDirectory).isOpen())
        PrivateDirectory(reportsPath(settings.stateDirectory)).write(interruptedName, document);
}

void ReportSender::adoptInterrupted()
{
    if (!enabled() || !PrivateDirectory(settings.stateDirectory).isOpen())
        return;
    const PrivateDirectory reports(reportsPath(settings.stateDirectory));
    QByteArray document;
    if (reports.read(interruptedName, RunReport::maximumSize, &document))
        queue(document);
}

void ReportSender::report(const QByteArray &document)
{
    queue(document);
    sendQueued();
}

void ReportSender::queue(const QByteArray &document) const
{
    if (!enabled() || !PrivateDirectory(settings.stateDirectory).isOpen())
        return;
    const PrivateDirectory reports(reportsPath(settings.stateDirectory));
    if (!reports.write(queuedName(), document))
        return;
    reports.remove(interruptedName);
    QList<QByteArray> queued = reports.files(queuedPrefix);
    while (queued.size() > keptReports)
        reports.remove(queued.takeFirst());
}

void ReportSender::sendQueued()
{
    if (!enabled())
        return;
    // One sending after the other, since two would send the same report twice; nobody waits for
    // the one before.
    const std::shared_future<void> before = pending;
    pending = std::async(std::launch::async, [this, before] {
                  if (before.valid())
                      before.wait();
                  sendAll();
              }).share();
}

void ReportSender::sendAll() const
{
    const QDeadlineTimer deadline(settings.reportDeadlineMs);
    if (!PrivateDirectory(settings.stateDirectory).isOpen())
        return;
    const PrivateDirectory reports(reportsPath(settings.stateDirectory));
    for (const QByteArray &name : reports.files(queuedPrefix)) {
        QByteArray document;
        if (!reports.read(name, RunReport::maximumSize, &document))
            continue;
        // A server that took none now takes no later one either.
        if (abandoned || !send(document, deadline))
            return;
        reports.remove(name);
    }
}

int ReportSender::nextWait(const QDeadlineTimer &deadline) const
{
    return abandoned ? 0 : int(qBound<qint64>(0, deadline.remainingTime(), qint64(abandonCheckMs)));
}

bool ReportSender::send(const QByteArray &document, const QDeadlineTimer &deadline) const
{
    // The route of the check, in one wait: Qt drops a connection whose wait ran out, and the
    // server that just answered the check is seldom slow to accept.
    const QString &host = settings.updateServerHost;
    const QNetworkProxy proxy = settings.proxies.forExchange(host, updateServerPort);
    QTcpSocket socket;
    if (!ProxyTunnel::connect(socket, proxy, host, updateServerPort,
                              int(qMax<qint64>(0, deadline.remainingTime())), deadline))
        return false;
    const auto connected = [&socket] { return socket.state() == QAbstractSocket::ConnectedState; };
    socket.write(document);
    while (socket.bytesToWrite() > 0) {
        const int wait = nextWait(deadline);
        if (wait == 0 || (!socket.waitForBytesWritten(wait) && !connected()))
            return false;
    }
    // The end of the document is the end of what the server reads.
    if (socket.bytesToWrite() > 0 || ::shutdown(int(socket.socketDescriptor()), SHUT_WR) != 0)
        return false;
    QByteArray answer;
    while (answer.size() <= accepted.size()) {
        if (socket.bytesAvailable() == 0) {
            const int wait = nextWait(deadline);
            if (wait == 0 || (!socket.waitForReadyRead(wait) && !connected()))
                break;
            continue;
        }
        answer += socket.read(accepted.size() + 1 - answer.size());
    }
    return answer == accepted;
}
