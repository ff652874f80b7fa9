#ifndef UPDATECHECK_H
#define UPDATECHECK_H

#include "installation.h"
#include "plannedpackage.h"
#include "queryparser.h"
#include "runsettings.h"

#include <QByteArray>
#include <QList>
#include <QStringList>
#include <QVector>

#include <future>

class QProcess;

// The update check: asks the messenger for its query, exchanges it with the update server and
// reads the reply, which must be signed for this very exchange when reply keys are set. It
// waits in a thread of its own, so that the windows can be built meanwhile, and shows its own
// failure boxes once it is over.
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
    // Waits for the check, begun here unless start() began it, and tells the user of its
    // failure: false then, and nothing is offered.
    bool finish();
    // What the reply offers, in document order, the updates owned by the caller.
    QVector<PlannedPackage> takeOffers();
    // The components the messenger asked for, with their installed versions.
    const QList<QueriedComponent> &installedComponents() const { return installed; }

private:
    enum class Failure { None, Connection, Communication };

    struct Outcome
    {
        Failure failure = Failure::None;
        QVector<PlannedPackage> offers;
        QList<QueriedComponent> installed;
    };

    Outcome run() const;
    void startMessenger(QProcess &messenger) const;
    QByteArray queryOf(QProcess &messenger) const;
    // signedQuery: the stretch of the query that a signed reply is bound to; nonce: the one it
    // is signed for, empty without reply keys.
    void exchangeWithServer(const QByteArray &query, const QByteArray &signedQuery,
                            const QByteArray &nonce, Outcome &outcome) const;

    Installation installation;
    std::future<Outcome> pending;
    QVector<PlannedPackage> offers;
    QList<QueriedComponent> installed;
    // The server, the reply keys and the bounds of the blocking waits.
    const RunSettings settings;
};

#endif // UPDATECHECK_H
