#ifndef VORNUPDATERENGINE_H
#define VORNUPDATERENGINE_H

#include "httpclient.h"

#include <QFile>
#include <QObject>
#include <QString>
#include <QTcpSocket>
#include <QVector>

#include <memory>
#include <vector>

class Update;
class VornUpdatePackage;

// Carries one updater run: the offered updates, the check, the download and the
// installation run. The windows talk to it only through its signals, slots and getters.
class VornUpdaterEngine : public QObject
{
    Q_OBJECT

public:
    enum DownloadState { Idle = 0, Sizing = 1, Downloading = 2, Aborted = 3 };

    VornUpdaterEngine();
    ~VornUpdaterEngine() override;

    bool checkUpdates();
    bool updatesAvailable() const;
    QVector<Update *> getUpdates() const;
    QString getLog() const;
    bool isInstallSucceeded() const { return installSucceeded; }
    QString getDownloadDir() const { return downloadDir; }

    // Bounds of the blocking waits of the check, in milliseconds.
    void setCheckTimeouts(int serverMs, int messengerMs);

signals:
    void downloadProgress(int done);
    void downloadFile(const QString &name);
    void downloadFinished();
    void installProgress(int done);
    void installFile(const QString &name);
    void installFinished();
    void error(const QString &str);

public slots:
    void beginDownload();
    void abortDownload();
    void installUpdates();

private slots:
    void requestFinished(int id, bool error);
    void dataReadProgress(qint64 done, qint64 total);
    void responseHeaderReceived(const HttpResponseHeader &resp);

private:
    Q_DISABLE_COPY(VornUpdaterEngine)

    void getUpdatesSize();
    void getCurUpdate();
    void getNextUpdate();
    void downloadUpdates();
    void failDownload(const QString &text);
    void discardPackageFile();

    void rollBack(const std::vector<std::unique_ptr<VornUpdatePackage>> &packages,
                  const QString &failedName, const QString &errorText);
    void runFixScript() const;

    QByteArray askMessenger() const;
    bool exchangeWithServer(const QByteArray &query);
    void clearUpdates();

    QTcpSocket socket;
    HttpClient http;
    QString log;
    QFile packageFile;
    QVector<Update *> updates;
    int currentIndex = 0;
    QString downloadDir;
    // 64-bit so that packages over 2 GiB neither overflow the counters nor the percentage.
    qint64 requestDone = 0;
    qint64 bytesDone = 0;
    qint64 totalBytes = 0;
    int getRequestId = 0;
    int downloadState = Idle;
    // Set when error or downloadFinished has been emitted: each ends the run, and only once.
    bool downloadEnded = false;
    bool installSucceeded = false;

    int serverTimeout = 30000;
    int messengerTimeout = 60000;
};

#endif // VORNUPDATERENGINE_H
