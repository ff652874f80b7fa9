#include "catalogue.h"
#include "epolleventdispatcher.h"
#include "replylimits.h"
#include "rollouts.h"
#include "serverlog.h"
#include "serverloops.h"
#include "servermetrics.h"
#include "signallistener.h"
#include "signingkey.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>
#include <QThread>
#include <QTimer>

#include <ctime>
#include <memory>

#include <sys/resource.h>

namespace {

const char description[] = R"(The Vorn reference update server.

Each client sends one update query ("<s><update><component project='p' name='n'
type='t' version='v' /></update></s>", no framing) and gets one XML reply with a
<request project= name= type=> element per queried component: the published
version's details when it is newer (versions compare as dotted numbers), <latest/>
when it is not, <noSuchComponent/> when the catalogue does not list it; then the
details of each component published with offer="always" that the query does not
name, when it names one of the same project. The server then closes the connection;
a query that names a component twice gets no reply. One line per exchange is logged
to standard error.
Every exchange ends within the exchange time-out, whatever the client does.

With --reply-key, every reply ends with a <signature> element: the key's Ed25519
signature over the reply, the query and the nonce that the updater sent in front of
it (see "The signed reply" in the publishers' guide). The reply key is not the
package key, which is refused here: make one of its own (vorn-package-builder
--generate-reply-key FILE) and build the updater with its public key,
vorn-reply-key:<base64> (VORN_REPLY_PUBLIC_KEYS). A key file whose secret key does
not belong to the public key it names is refused too.

SIGHUP reads the catalogue and the reply key again: exchanges that start afterwards
are answered from the new ones; one that cannot be read leaves the old one in place.
SIGTERM (or SIGINT) stops listening, lets the exchanges under way end, and exits.

Catalogue format (XML; vorn-package-builder prints <component> entries; the
newest entry of a component is offered; a missing attribute means empty):
  <catalogue>
    <component project="vorn" name="core" type="app">  [offer="always"]
      <version>1.2</version>                       required, dotted numbers
      <link>http://host/core.zip</link>            required
      <description/> <copyrights/> <author/> <webpage/> <email/> <changelog/>
      <critical>false</critical>                   true or false, default false
      <timestamp>0</timestamp>                     unsigned 32-bit, default 0
      <sha256/> <signature/> <size/>               optional, passed on as given
    </component>
  </catalogue>

Staged rollouts (see "Staged rollouts" in the publishers' guide): a <component>
may carry rollout="1.5%" or rollout-start="2026-12-10T00:00:00Z" with
rollout-duration="7d", and halt-failures="5%" halt-minimum="50" (the defaults).
Updaters inside the share get that entry, others the newest entry not staged.
Install reports halt a staged entry whose failures pass the rule; the halt is kept
in the halt file (--halt-file, by default CATALOGUE.halts) and lifted by a changed
rollout and SIGHUP, or by --lift-halt COMPONENT VERSION followed by SIGHUP.)";

// The reply key, which must be the server's own: readable by nobody else.
std::shared_ptr<const SigningKey> loadReplyKey(const QString &file, QString *error)
{
    auto key = std::make_shared<SigningKey>(SigningKey::Reply);
    if (!key->load(file)) {
        *error = key->errorString();
        return nullptr;
    }
    if (key->isExposed()) {
        *error = QStringLiteral("%1 can be read by other users; a reply key is the server's "
                                "alone (chmod 600)")
                     .arg(file);
        return nullptr;
    }
    return key;
}

int fail(const QString &message)
{
    ServerLog::note(message);
    return 1;
}

// Every connection takes a descriptor: the soft limit (often 1024) would refuse clients long
// before the connection bound does.
void raiseDescriptorLimit()
{
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    // Qt's own event loops poll every connection on each pass.
    QCoreApplication::setEventDispatcher(new EpollEventDispatcher);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vorn-update-server"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(description));
    parser.addHelpOption();
    const QCommandLineOption catalogueOption(QStringLiteral("catalogue"),
                                             QStringLiteral("The catalogue of published updates."),
                                             QStringLiteral("file"));
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("TCP port to listen on (default 443)."),
                                        QStringLiteral("n"), QStringLiteral("443"));
    const QCommandLineOption listenOption(
        QStringLiteral("listen"), QStringLiteral("Address to listen on (default 127.0.0.1)."),
        QStringLiteral("address"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption sizeOption(
        QStringLiteral("max-query-size"),
        QStringLiteral("Close a connection whose query grows beyond <bytes> (default 16384)."),
        QStringLiteral("bytes"), QStringLiteral("16384"));
    const QCommandLineOption componentsOption(
        QStringLiteral("max-components"),
        QStringLiteral("Close a connection whose query names more than <n> components (default "
                       "1000, at most %1).")
            .arg(ReplyLimits::maximumRequests),
        QStringLiteral("n"), QStringLiteral("1000"));
    // The second name is the one of an idle time-out, which the deadline took over.
    const QCommandLineOption timeoutOption(
        {QStringLiteral("exchange-timeout"), QStringLiteral("idle-timeout")},
        QStringLiteral("Close a connection whose exchange has not ended <seconds> after it was "
                       "accepted (default 5)."),
        QStringLiteral("seconds"), QStringLiteral("5"));
    const QCommandLineOption connectionsOption(
        QStringLiteral("max-connections"),
        QStringLiteral("Serve at most <n> clients at once; more wait to be accepted (default "
                       "4096)."),
        QStringLiteral("n"), QStringLiteral("4096"));
    const QCommandLineOption perAddressOption(
        QStringLiteral("max-connections-per-address"),
        QStringLiteral("Close a client's connection at once while <n> others from its address "
                       "are served (default 32; 0: no bound, behind a load balancer)."),
        QStringLiteral("n"), QStringLiteral("32"));
    const QCommandLineOption replyKeyOption(
        QStringLiteral("reply-key"),
        QStringLiteral("Sign every reply with the reply key in <file> (a key file of "
                       "vorn-package-builder --generate-reply-key, mode 600)."),
        QStringLiteral("file"));
    const QCommandLineOption metricsOption(
        QStringLiteral("metrics"),
        QStringLiteral("Serve Prometheus metrics at http://<address:port>/metrics (default: "
                       "none)."),
        QStringLiteral("address:port"));
    const QCommandLineOption reportsOption(
        QStringLiteral("reports-per-minute"),
        QStringLiteral("Take at most <n> install reports a minute from one address (default "
                       "10; 0: no bound, behind a load balancer)."),
        QStringLiteral("n"), QStringLiteral("10"));
    const QCommandLineOption haltFileOption(
        QStringLiteral("halt-file"),
        QStringLiteral("Keep the halts of staged releases in <file> (default: the catalogue's "
                       "name with .halts added)."),
        QStringLiteral("file"));
    // The service's units allow 16 tasks: eight loops leave room for the metrics' threads.
    const int defaultLoops = qMin(QThread::idealThreadCount(), 8);
    const QCommandLineOption loopsOption(
        QStringLiteral("event-loops"),
        QStringLiteral("Serve the clients on <n> event loops, each a thread taking clients "
                       "from the one listening socket (default: the number of cores, at most 8, "
                       "here %1; at most --max-connections).")
            .arg(defaultLoops),
        QStringLiteral("n"), QString::number(defaultLoops));
    const QCommandLineOption liftOption(
        QStringLiteral("lift-halt"),
        QStringLiteral("Lift the halt of <component>'s version given after it, in the "
                       "catalogue's halt file, and exit; then send SIGHUP to the server."),
        QStringLiteral("component"));
    parser.addOptions({catalogueOption, portOption, listenOption, sizeOption, componentsOption,
                       timeoutOption, connectionsOption, perAddressOption, replyKeyOption,
                       metricsOption, reportsOption, haltFileOption, loopsOption, liftOption});
    parser.addPositionalArgument(QStringLiteral("version"),
                                 QStringLiteral("With --lift-halt: the version halted."),
                                 QStringLiteral("[version]"));
    parser.process(app);

    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    bool sizeOk = false;
    const qsizetype maximumQuerySize = parser.value(sizeOption).toLongLong(&sizeOk);
    bool componentsOk = false;
    const int maximumComponents = parser.value(componentsOption).toInt(&componentsOk);
    bool timeoutOk = false;
    const double timeoutSeconds = parser.value(timeoutOption).toDouble(&timeoutOk);
    bool connectionsOk = false;
    const int maximumConnections = parser.value(connectionsOption).toInt(&connectionsOk);
    bool perAddressOk = false;
    const int maximumPerAddress = parser.value(perAddressOption).toInt(&perAddressOk);
    bool reportsOk = false;
    const int reportsPerMinute = parser.value(reportsOption).toInt(&reportsOk);
    bool loopsOk = false;
    const int eventLoops = parser.value(loopsOption).toInt(&loopsOk);
    const QHostAddress address(parser.value(listenOption));
    if (!parser.isSet(catalogueOption))
        return fail(QStringLiteral("--catalogue is required (see --help)"));
    const QString haltFile = parser.isSet(haltFileOption)
        ? parser.value(haltFileOption)
        : Rollouts::haltFileOf(parser.value(catalogueOption));
    if (parser.isSet(liftOption)) {
        if (parser.positionalArguments().size() != 1)
            return fail(QStringLiteral("--lift-halt takes a component and a version"));
        QString error;
        const int lifted = Rollouts::lift(haltFile, parser.value(liftOption),
                                          parser.positionalArguments().constFirst(), &error);
        if (lifted < 0)
            return fail(error);
        ServerLog::note(QStringLiteral("%1 halts lifted in %2; send SIGHUP to the server")
                            .arg(lifted)
                            .arg(haltFile));
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("unexpected argument %1")
                        .arg(parser.positionalArguments().constFirst()));
    if (!reportsOk || reportsPerMinute < 0)
        return fail(QStringLiteral("invalid report count %1").arg(parser.value(reportsOption)));
    if (!portOk || port > 65535)
        return fail(QStringLiteral("invalid port %1").arg(parser.value(portOption)));
    if (address.isNull())
        return fail(QStringLiteral("invalid address %1").arg(parser.value(listenOption)));
    if (!sizeOk || maximumQuerySize <= 0)
        return fail(QStringLiteral("invalid query size %1").arg(parser.value(sizeOption)));
    // The updater refuses a reply of more requests.
    if (!componentsOk || maximumComponents <= 0 || maximumComponents > ReplyLimits::maximumRequests)
        return fail(
            QStringLiteral("invalid component count %1").arg(parser.value(componentsOption)));
    if (!timeoutOk || timeoutSeconds < 0.01 || timeoutSeconds > 86400)
        return fail(
            QStringLiteral("invalid exchange time-out %1").arg(parser.value(timeoutOption)));
    if (!connectionsOk || maximumConnections <= 0)
        return fail(
            QStringLiteral("invalid connection count %1").arg(parser.value(connectionsOption)));
    if (!perAddressOk || maximumPerAddress < 0)
        return fail(QStringLiteral("invalid connection count per address %1")
                        .arg(parser.value(perAddressOption)));
    if (!loopsOk || eventLoops <= 0 || eventLoops > 1024)
        return fail(QStringLiteral("invalid event loop count %1").arg(parser.value(loopsOption)));

    const QString catalogueFile = parser.value(catalogueOption);
    auto catalogue = std::make_shared<Catalogue>();
    if (!catalogue->load(catalogueFile))
        return fail(catalogue->errorString());
    const QString replyKeyFile = parser.value(replyKeyOption);
    QString keyError;
    const auto replyKey
        = parser.isSet(replyKeyOption) ? loadReplyKey(replyKeyFile, &keyError) : nullptr;
    if (parser.isSet(replyKeyOption) && !replyKey)
        return fail(keyError);
    std::unique_ptr<ServerMetrics> metrics;
    if (parser.isSet(metricsOption)) {
        metrics = std::make_unique<ServerMetrics>();
        QString error;
        if (!metrics->serve(parser.value(metricsOption), &error))
            return fail(QStringLiteral("cannot serve metrics on %1: %2")
                            .arg(parser.value(metricsOption), error));
    }
    raiseDescriptorLimit();
    Rollouts rollouts(haltFile, reportsPerMinute, metrics.get());
    ServerLoops server(eventLoops, catalogue, replyKey,
                       {maximumQuerySize, maximumComponents, int(timeoutSeconds * 1000),
                        maximumConnections, maximumPerAddress},
                       &rollouts, metrics.get());
    // The shares of scheduled rollouts grow by the second.
    QTimer gauges;
    QObject::connect(&gauges, &QTimer::timeout,
                     [&rollouts] { rollouts.updateGauges(std::time(nullptr)); });
    if (metrics) {
        rollouts.updateGauges(std::time(nullptr));
        gauges.start(1000);
    }
    ServerLog::buffer();
    if (!server.listen(address, quint16(port)))
        return fail(QStringLiteral("cannot listen on %1:%2: %3")
                        .arg(address.toString())
                        .arg(port)
                        .arg(server.errorString()));

    QTimer logFlush;
    QObject::connect(&logFlush, &QTimer::timeout, &ServerLog::flush);
    logFlush.start(100);

    SignalListener signalListener;
    // Read whole before it replaces the old one, so that no exchange sees half a catalogue.
    QObject::connect(&signalListener, &SignalListener::reloadRequested, [&] {
        if (!replyKeyFile.isEmpty()) {
            QString error;
            if (const auto key = loadReplyKey(replyKeyFile, &error)) {
                server.setReplyKey(key);
                ServerLog::note(
                    QStringLiteral("reply key reloaded, public key %1").arg(key->publicKey()));
            } else {
                ServerLog::note(
                    QStringLiteral("reply key not reloaded, the old one stays: %1").arg(error));
            }
        }
        auto reloaded = std::make_shared<Catalogue>();
        if (!reloaded->load(catalogueFile)) {
            ServerLog::note(QStringLiteral("catalogue not reloaded, the old one stays: %1")
                                .arg(reloaded->errorString()));
            return;
        }
        server.setCatalogue(reloaded);
        rollouts.updateGauges(std::time(nullptr));
        ServerLog::note(
            QStringLiteral("catalogue reloaded, %1 components published").arg(reloaded->size()));
    });
    QObject::connect(&signalListener, &SignalListener::stopRequested, [&server] {
        ServerLog::note(QStringLiteral("stopping, %1 exchanges under way").arg(server.drain()));
    });
    QObject::connect(&server, &ServerLoops::drained, [] {
        ServerLog::note(QStringLiteral("stopped"));
        QCoreApplication::quit();
    });
    ServerLog::note(
        QStringLiteral("listening on %1:%2, %3 components published, %4")
            .arg(address.toString())
            .arg(server.serverPort())
            .arg(catalogue->size())
            .arg(replyKey ? QStringLiteral("replies signed with %1").arg(replyKey->publicKey())
                          : QStringLiteral("replies unsigned")));
    return app.exec();
}
