#include "vornupdaterengine.h"

#include "update.h"
#include "updatequery.h"
#include "updatereply.h"
#include "vornconfig.h"

#include <QCoreApplication>
#include <QDir>
#include <QMessageBox>
#include <QProcess>
#include <QStandardPaths>

namespace {

const quint16 updateServerPort = 443;

QString tr(const char *text)
{
    return QCoreApplication::translate("translation", text, "nc");
}

void showCheckFailure(const char *text)
{
    QMessageBox::critical(nullptr, tr("Check updates"), tr(text), QMessageBox::Ok, QMessageBox::Ok);
}

} // namespace

VornUpdaterEngine::VornUpdaterEngine()
{
    downloadDir = QStandardPaths::writableLocation(QStandardPaths::TempLocation)
        + QStringLiteral("/tupdates/");
    QDir().mkpath(downloadDir);

    connect(&http, &HttpClient::requestFinished, this, &VornUpdaterEngine::requestFinished);
    connect(&http, &HttpClient::dataReadProgress, this, &VornUpdaterEngine::dataReadProgress);
    connect(&http, &HttpClient::responseHeaderReceived, this,
            &VornUpdaterEngine::responseHeaderReceived);
}

VornUpdaterEngine::~VornUpdaterEngine()
{
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

void VornUpdaterEngine::clearUpdates()
{
    qDeleteAll(updates);
    updates.clear();
}

bool VornUpdaterEngine::checkUpdates()
{
    const QByteArray query = cutUpdateQuery(askMessenger());
    clearUpdates();
    return exchangeWithServer(query);
}

QByteArray VornUpdaterEngine::askMessenger() const
{
    QProcess messenger;
    messenger.setProcessChannelMode(QProcess::MergedChannels);
    // Program and argument apart, so that an application directory with blanks works.
    messenger.start(QCoreApplication::applicationDirPath() + QStringLiteral("/vorn"),
                    {QStringLiteral("-updatequery")}, QIODevice::ReadWrite);
    messenger.waitForStarted(-1);
    // A messenger that never exits must not leave an invisible updater hanging.
    if (!messenger.waitForFinished(messengerTimeout) && messenger.state() != QProcess::NotRunning) {
        messenger.kill();
        messenger.waitForFinished(-1);
    }
    return messenger.readAll();
}

bool VornUpdaterEngine::exchangeWithServer(const QByteArray &query)
{
    socket.connectToHost(QStringLiteral(VORN_UPDATE_SERVER_HOST), updateServerPort,
                         QIODevice::ReadWrite);
    if (!socket.waitForConnected(serverTimeout)) {
        showCheckFailure("Couldn't connect to update server. Check your internet connection.");
        return false;
    }
    if (!query.isEmpty()) {
        socket.write(query);
        socket.waitForBytesWritten(serverTimeout);
    }

    UpdateReply reply;
    while (reply.status() == UpdateReply::Incomplete) {
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(serverTimeout))
            break;
        reply.append(socket.readAll());
    }
    if (reply.status() != UpdateReply::Complete) {
        showCheckFailure("An error occured while comunicating update server. Check your "
                         "internet connection.");
        return false;
    }
    updates = reply.takeUpdates();
    return true;
}

// Package download.

void VornUpdaterEngine::beginDownload() { }

void VornUpdaterEngine::abortDownload() { }

void VornUpdaterEngine::getUpdatesSize() { }

void VornUpdaterEngine::downloadUpdates() { }

void VornUpdaterEngine::getCurUpdate() { }

void VornUpdaterEngine::getNextUpdate() { }

void VornUpdaterEngine::requestFinished(int, bool) { }

void VornUpdaterEngine::dataReadProgress(qint64, qint64) { }

void VornUpdaterEngine::responseHeaderReceived(const HttpResponseHeader &) { }

// Installation run.

void VornUpdaterEngine::installUpdates() { }
