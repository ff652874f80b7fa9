#ifndef RUNSETTINGS_H
#define RUNSETTINGS_H

#include "clock.h"
#include "proxyenvironment.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

// What the build and the environment set for a run: the update server, the keys that must have
// signed packages and replies, the bounds of every wait, and the proxies. The entry point makes
// it once, beside the Installation, and hands it down: nothing below reads the build's settings
// or the environment itself.
struct RunSettings
{
    // The update server, reached on port 443.
    QString updateServerHost;
    // Base64 Ed25519 public keys, one of which must have signed each package and each reply of
    // the update server; empty: none need have.
    QStringList packageKeys;
    QStringList replyKeys;
    // The largest package downloaded, in bytes.
    qint64 maximumPackageSize = 0;
    // Each wait of the check for the update server, and the one for the messenger's query.
    int serverTimeoutMs = 30000;
    int messengerTimeoutMs = 60000;
    // The whole exchange with the update server.
    int exchangeDeadlineMs = 60000;
    // How long a package download may receive nothing.
    int stallTimeoutMs = 60000;
    // How long the download of a package may take in all, its attempts to resume included:
    // the base plus its size at the rate.
    int downloadDeadlineBaseMs = 60000;
    qint64 downloadBytesPerSecond = 16 * 1024;
    // The pauses before each attempt to resume a broken package download.
    QList<int> retryPauses {1000, 2000, 4000};
    ProxyEnvironment proxies;
    // What the bounds above are measured on.
    std::shared_ptr<const Clock> clock = std::make_shared<const Clock>();
    // The user's private state directory of the updater, which keeps the rollout position and
    // the reports not sent yet; empty: nothing is kept and no position is sent.
    QString stateDirectory;
    // Whether the build and the user let the run report how its installation ended, and how
    // long the sending of the reports may keep the application.
    bool installReports = false;
    int reportDeadlineMs = 5000;
};

#endif // RUNSETTINGS_H
