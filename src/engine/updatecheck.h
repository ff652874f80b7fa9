#ifndef UPDATECHECK_H
#define UPDATECHECK_H

#include "failure.h"
#include "installation.h"
#include "offeredpackage.h"
#include "queryparser.h"
#include "runsettings.h"

#include <QByteArray>
#include <QList>
#include <QStringList>
#include <QVector>

#include <future>
#include <optional>

class QProcess;
class QTcpSocket;

// The update check: asks the messenger for its query, exchanges it with the update server and
// reads the reply, which must be signed for this very exchange when reply keys are set. It
// waits in a thread of its own, so that the windows can be built meanwhile.
class UpdateCheck
{
public:
    UpdateCheck(const Installation &installation, const RunSettings &settings);
    // Waits for a check still running.
    ~UpdateCheck();
    UpdateCheck(const UpdateCheck &) = delete;
    UpdateCheck &operator=(const UpdateCheck &) = delete;

    // Begins the check.
    void start();
    // Waits for the check, begun here unless start() began it. After a failure nothing is
    // offered.
    Failure finish();
    // Whether a check begun is still under way.
    bool isRunning() const;
    // What the reply offers, in document order.
    QVector<OfferedPackage> takeOffers();
    // The components the messenger asked for, with their installed versions.
    const QList<QueriedComponent> &installedComponents() const { return installed; }

private:
    struct Outcome
    {
        Failure failure;
        QVector<OfferedPackage> offers;
        QList<QueriedComponent> installed;
    };

    Outcome run() const;
    void startMessenger(QProcess &messenger) const;
    QByteArray queryOf(QProcess &messenger) const;
    // How long one blocking wait may last: the server's timeout, ending by `ends` on the
    // settings' clock.
    int waitUntil(qint64 ends) const;
    // Connects the socket to the update server, through its proxy if any, by `ends`.
    bool connectToServer(QTcpSocket &socket, qint64 ends) const;
    // On the connected socket, by exchangeEnds. signedQuery: the stretch of the query that a
    // signed reply is bound to; nonce: the one it is signed for, empty without reply keys;
    // position: the rollout position sent, if any.
    void exchangeWithServer(QTcpSocket &socket, qint64 exchangeEnds, const QByteArray &query,
                            const QByteArray &signedQuery, const QByteArray &nonce,
                            std::optional<int> position, Outcome &outcome) const;

    Installation installation;
    std::future<Outcome> pending;
    QVector<OfferedPackage> offers;
    QList<QueriedComponent> installed;
    // The server, the reply keys and the bounds of the blocking waits.
    const RunSettings settings;
};

#endif // UPDATECHECK_H
