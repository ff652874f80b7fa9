#ifndef UPDATECHECK_H
#define UPDATECHECK_H

#include "installation.h"
#include "plannedpackage.h"
#include "queryparser.h"

#include <QByteArray>
#include <QList>
#include <QStringList>
#include <QTcpSocket>
#include <QVector>

// The update check: asks the messenger for its query, exchanges it with the update server and
// reads the reply, which must be signed for this very exchange when reply keys are set. It
// blocks, and shows its own failure boxes.
class UpdateCheck
{
public:
    explicit UpdateCheck(const Installation &installation);

    // The bounds of its blocking waits, in milliseconds: each wait for the server and the one
    // for the messenger, and the whole exchange.
    void setTimeouts(int serverMs, int messengerMs);
    void setDeadline(int exchangeMs) { deadline = exchangeMs; }
    void setReplyKeys(const QStringList &keys) { replyKeys = keys; }

    // False after a failure the user has been told of; nothing is offered then.
    bool run();
    // What the reply offers, in document order, the updates owned by the caller.
    QVector<PlannedPackage> takeOffers();
    // The components the messenger asked for, with their installed versions.
    const QList<QueriedComponent> &installedComponents() const { return installed; }

private:
    QByteArray askMessenger() const;
    // signedQuery: the stretch of the query that a signed reply is bound to.
    bool exchangeWithServer(const QByteArray &query, const QByteArray &signedQuery);

    Installation installation;
    QTcpSocket socket;
    QVector<PlannedPackage> offers;
    QList<QueriedComponent> installed;
    QStringList replyKeys;
    int serverTimeout = 30000;
    int messengerTimeout = 60000;
    int deadline = 60000;
};

#endif // UPDATECHECK_H
