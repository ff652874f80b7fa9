#ifndef SERVERMETRICS_H
#define SERVERMETRICS_H

#include "replywriter.h"

#include <QHash>
#include <QString>

#include <memory>
#include <mutex>
#include <string>

namespace prometheus {
class Counter;
class Exposer;
class Gauge;
class Histogram;
class Registry;
template<typename T> class Family;
} // namespace prometheus

// The server's metrics, in Prometheus's text format at /metrics on an address of their own.
// The exposer answers on threads of its own: they read the metric objects alone, which are
// thread-safe, and never the server's state. Counted from every event loop at once.
class ServerMetrics : public ReplyWriter::OfferCounter
{
public:
    ServerMetrics();
    ~ServerMetrics();
    Q_DISABLE_COPY_MOVE(ServerMetrics)

    // Serves the metrics at "address:port"; false with *error when it cannot listen there.
    bool serve(const QString &address, QString *error);

    void exchanged(double seconds);
    void offered(const QString &component, const CatalogueEntry *entry,
                 Rollout::Decision decision) override;
    void reported(const QString &component, const QString &version, const QString &outcome);
    // Why a report was turned away: "malformed" or "rate-limited".
    void reportRefused(const QString &why);
    void rolloutState(const QString &component, const QString &version, int share, bool halted);
    // A staged entry that a reloaded catalogue does not list.
    void rolloutGone(const QString &component, const QString &version);
    // On any loop's thread.
    void batchSigned(int statements);

private:
    prometheus::Counter &counter(prometheus::Family<prometheus::Counter> &family,
                                 const QString &key,
                                 const std::map<std::string, std::string> &labels);

    std::shared_ptr<prometheus::Registry> registry;
    std::unique_ptr<prometheus::Exposer> exposer;
    prometheus::Counter *exchanges;
    prometheus::Histogram *durations;
    prometheus::Family<prometheus::Counter> *offers;
    prometheus::Family<prometheus::Counter> *reports;
    prometheus::Family<prometheus::Counter> *refusedReports;
    prometheus::Family<prometheus::Gauge> *shares;
    prometheus::Family<prometheus::Gauge> *halts;
    prometheus::Counter *batches;
    prometheus::Histogram *batchSizes;
    // The counters met so far, by their labels: looked up once per exchange, cheaper than the
    // family's own lookup. Every event loop looks them up.
    std::mutex knownMutex;
    QHash<QString, prometheus::Counter *> known;
};

#endif // SERVERMETRICS_H
