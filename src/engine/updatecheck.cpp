#include "updatecheck.h"

#include "privatedirectory.h"
#include "proxyenvironment.h"
#include "proxytunnel.h"
#include "replysignature.h"
#include "rolloutposition.h"
#include "translated.h"
#include "updatequery.h"
#include "updatereply.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QProcess>
#include <QTcpSocket>

#include <chrono>
#include <utility>

namespace {

const quint16 updateServerPort = 443;

Failure connectionFailure()
{
    return Failure(
        Failure::Network,
        translated("Couldn't connect to update server. Check your internet connection."));
}

} // namespace

UpdateCheck::UpdateCheck(const Installation &installation, const RunSettings &settings)
    : installation(installation)
    , settings(settings)
{ }

UpdateCheck::~UpdateCheck()
{
    // Here, not in the future's own destructor: the settings its thread reads go before it.
    if (pending.valid())
        pending.wait();
}

void UpdateCheck::start()
{
    // Asking the messenger and the exchange wait on other processes, not on this thread.
    pending = std::async(std::launch::async, [this] { return run(); });
}

bool UpdateCheck::isRunning() const
{
    return pending.valid()
        && pending.wait_for(std::chrono::seconds(0)) != std::future_status::ready;
}

Failure UpdateCheck::finish()
{
    if (!pending.valid())
        start();
    Outcome outcome = pending.get();
    offers = std::move(outcome.offers);
    installed = std::move(outcome.installed);
    return outcome.failure;
}

UpdateCheck::Outcome UpdateCheck::run() const
{
    Outcome outcome;
    QProcess messenger;
    startMessenger(messenger);
    // A fresh nonce makes every signed reply fit this exchange alone. It is made while the
    // messenger runs, and so is OpenSSL's set-up for the reply's signature, which costs more
    // than the exchange itself.
    QByteArray nonce;
    if (!settings.replyKeys.isEmpty()) {
        nonce = ReplySignature::newNonce();
        ReplySignature::prepareVerification(settings.replyKeys);
    }
    const std::optional<int> position = settings.stateDirectory.isEmpty()
        ? std::nullopt
        : RolloutPosition::of(PrivateDirectory(settings.stateDirectory));
    // So are the look-up of the server's name and the handshake: round trips that the query
    // need not wait for. The wait for the messenger after them counts in no deadline.
    const Clock &clock = *settings.clock;
    const qint64 connecting = clock.now();
    QTcpSocket socket;
    const bool connected = connectToServer(socket, connecting + settings.exchangeDeadlineMs);
    const qint64 connectedAt = clock.now();
    const QByteArray query = queryOf(messenger);
    // What is installed, for the download to refuse offers that are not newer.
    QueryParser parser(query.size());
    parser.append(query);
    outcome.installed = parser.components();
    if (!connected) {
        outcome.failure = connectionFailure();
        return outcome;
    }
    const qint64 exchangeEnds
        = connecting + settings.exchangeDeadlineMs + (clock.now() - connectedAt);
    exchangeWithServer(socket, exchangeEnds, query, parser.query(), nonce, position, outcome);
    return outcome;
}

int UpdateCheck::waitUntil(qint64 ends) const
{
    const qint64 remaining = settings.clock->remainingTime(ends);
    return int(remaining < 0 ? settings.serverTimeoutMs
                             : qMin<qint64>(settings.serverTimeoutMs, remaining));
}

bool UpdateCheck::connectToServer(QTcpSocket &socket, qint64 ends) const
{
    const QString &host = settings.updateServerHost;
    return ProxyTunnel::connect(socket, settings.proxies.forExchange(host, updateServerPort), host,
                                updateServerPort, waitUntil(ends),
                                QDeadlineTimer(settings.clock->remainingTime(ends)));
}

QVector<OfferedPackage> UpdateCheck::takeOffers()
{
    return std::exchange(offers, {});
}

void UpdateCheck::startMessenger(QProcess &messenger) const
{
    messenger.setProcessChannelMode(QProcess::MergedChannels);
    // Program and argument apart, so that an application directory with blanks works.
    messenger.start(installation.messenger(), {QStringLiteral("-updatequery")},
                    QIODevice::ReadWrite);
    messenger.waitForStarted(-1);
}

QByteArray UpdateCheck::queryOf(QProcess &messenger) const
{
    // A messenger that never exits must not leave an invisible updater hanging.
    if (!messenger.waitForFinished(settings.messengerTimeoutMs)
        && messenger.state() != QProcess::NotRunning) {
        messenger.kill();
        messenger.waitForFinished(-1);
    }
    return cutUpdateQuery(messenger.readAll());
}

void UpdateCheck::exchangeWithServer(QTcpSocket &socket, qint64 exchangeEnds,
                                     const QByteArray &query, const QByteArray &signedQuery,
                                     const QByteArray &nonce, std::optional<int> position,
                                     Outcome &outcome) const
{
    // One deadline for the whole exchange: a server that drips a byte now and then must not
    // keep the invisible check waiting, however short each pause.
    const Clock &clock = *settings.clock;
    const auto inTime = [&clock, exchangeEnds] { return clock.now() < exchangeEnds; };
    const auto wait = [this, exchangeEnds] { return waitUntil(exchangeEnds); };
    // In front of the query, where a server that knows neither skips them.
    QByteArray sent;
    if (!settings.replyKeys.isEmpty())
        sent += ReplySignature::nonceElement(nonce);
    if (position)
        sent += ReplySignature::positionElement(*position);
    sent += query;

    // The connection waited for the messenger, and a server may close one that brings nothing
    // for a while: one closed meanwhile is made again.
    if (!socket.waitForReadyRead(0) && socket.state() != QAbstractSocket::ConnectedState) {
        socket.abort();
        if (!connectToServer(socket, exchangeEnds)) {
            outcome.failure = connectionFailure();
            return;
        }
    }
    if (!sent.isEmpty()) {
        socket.write(sent);
        socket.waitForBytesWritten(wait());
    }

    UpdateReply reply;
    Failure refused;
    while (!refused && !reply.isComplete() && inTime()) {
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(wait()))
            break;
        refused = reply.append(socket.readAll());
    }
    if (refused) {
        outcome.failure = refused;
        return;
    }
    // The last byte too must come before the deadline, not only the wait for it begin.
    if (!reply.isComplete() || !inTime()) {
        outcome.failure = UpdateReply::failure(Failure::Network);
        return;
    }
    // Only a reply its server signed for this very exchange decides what the run does; a
    // nonce that could not be made leaves none to sign for.
    if (!settings.replyKeys.isEmpty()) {
        const Failure notSigned = nonce.isEmpty()
            ? ReplySignature::notForThisExchange()
            : ReplySignature::verify(reply.bytes(), settings.replyKeys, nonce, signedQuery,
                                     position);
        if (notSigned) {
            qWarning().noquote() << QStringLiteral("The update server's reply is refused: %1.")
                                        .arg(notSigned.text());
            outcome.failure = UpdateReply::failure(Failure::Reply);
            return;
        }
    }
    outcome.offers = reply.offers();
}
