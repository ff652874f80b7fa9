#include "servermetrics.h"

#include "catalogue.h"
#include "replyformat.h"

#include <prometheus/counter.h>
#include <prometheus/exposer.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>

#include <exception>

namespace {

std::string text(const QString &value)
{
    return value.toStdString();
}

std::string decisionLabel(Rollout::Decision decision)
{
    switch (decision) {
    case Rollout::None:
        break;
    case Rollout::Inside:
        return "inside";
    case Rollout::Outside:
        return "outside";
    case Rollout::Halted:
        return "halted";
    }
    return "none";
}

} // namespace

ServerMetrics::ServerMetrics()
    : registry(std::make_shared<prometheus::Registry>())
{
    using namespace prometheus;
    exchanges = &BuildCounter()
                     .Name("vorn_update_server_exchanges_total")
                     .Help("Exchanges ended: queries answered or refused, and reports")
                     .Register(*registry)
                     .Add({});
    // From a tenth of a millisecond on loopback to the exchange time-out.
    durations
        = &BuildHistogram()
               .Name("vorn_update_server_exchange_duration_seconds")
               .Help("Time from accepting a client to closing its connection")
               .Register(*registry)
               .Add({},
                    Histogram::BucketBoundaries {0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005,
                                                 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5});
    offers = &BuildCounter()
                  .Name("vorn_update_server_offers_total")
                  .Help("Components answered, by the version offered (\"-\" for none) and the "
                        "rollout decision")
                  .Register(*registry);
    reports = &BuildCounter()
                   .Name("vorn_update_server_reports_total")
                   .Help("Packages reported by updaters, by the version installed or tried and "
                         "its outcome")
                   .Register(*registry);
    refusedReports = &BuildCounter()
                          .Name("vorn_update_server_refused_reports_total")
                          .Help("Install reports turned away unread")
                          .Register(*registry);
    shares = &BuildGauge()
                  .Name("vorn_update_server_rollout_share")
                  .Help("The current share of a staged version's rollout, from 0 to 1")
                  .Register(*registry);
    halts = &BuildGauge()
                 .Name("vorn_update_server_rollout_halted")
                 .Help("1 while this instance has halted the staged version")
                 .Register(*registry);
    batches = &BuildCounter()
                   .Name("vorn_update_server_signing_batches_total")
                   .Help("Signatures made, each for a batch of replies")
                   .Register(*registry)
                   .Add({});
    batchSizes = &BuildHistogram()
                      .Name("vorn_update_server_signing_batch_size")
                      .Help("Replies signed by one signature")
                      .Register(*registry)
                      .Add({}, Histogram::BucketBoundaries {1, 2, 4, 8, 16, 32, 64});
}

ServerMetrics::~ServerMetrics() = default;

bool ServerMetrics::serve(const QString &address, QString *error)
{
    try {
        exposer = std::make_unique<prometheus::Exposer>(text(address), 2);
    } catch (const std::exception &failure) {
        *error = QString::fromLocal8Bit(failure.what());
        return false;
    }
    exposer->RegisterCollectable(registry);
    return true;
}

void ServerMetrics::exchanged(double seconds)
{
    exchanges->Increment();
    durations->Observe(seconds);
}

prometheus::Counter &ServerMetrics::counter(prometheus::Family<prometheus::Counter> &family,
                                            const QString &key,
                                            const std::map<std::string, std::string> &labels)
{
    const std::lock_guard<std::mutex> lock(knownMutex);
    prometheus::Counter *&found = known[key];
    if (!found)
        found = &family.Add(labels);
    return *found;
}

void ServerMetrics::offered(const QString &component, const CatalogueEntry *entry,
                            Rollout::Decision decision)
{
    const QString version = entry ? entry->fields.value(ReplyFormat::version) : QStringLiteral("-");
    const std::string label = decisionLabel(decision);
    counter(*offers,
            QStringLiteral("o\t") + component + u'\t' + version + u'\t' + QString::number(decision),
            {{"component", text(component)}, {"version", text(version)}, {"decision", label}})
        .Increment();
}

void ServerMetrics::reported(const QString &component, const QString &version,
                             const QString &outcome)
{
    counter(
        *reports, QStringLiteral("r\t") + component + u'\t' + version + u'\t' + outcome,
        {{"component", text(component)}, {"version", text(version)}, {"outcome", text(outcome)}})
        .Increment();
}

void ServerMetrics::reportRefused(const QString &why)
{
    counter(*refusedReports, QStringLiteral("x\t") + why, {{"reason", text(why)}}).Increment();
}

void ServerMetrics::rolloutState(const QString &component, const QString &version, int share,
                                 bool halted)
{
    const std::map<std::string, std::string> labels
        = {{"component", text(component)}, {"version", text(version)}};
    shares->Add(labels).Set(double(share) / Rollout::full);
    halts->Add(labels).Set(halted ? 1 : 0);
}

void ServerMetrics::rolloutGone(const QString &component, const QString &version)
{
    const std::map<std::string, std::string> labels
        = {{"component", text(component)}, {"version", text(version)}};
    shares->Remove(&shares->Add(labels));
    halts->Remove(&halts->Add(labels));
}

void ServerMetrics::batchSigned(int statements)
{
    batches->Increment();
    batchSizes->Observe(statements);
}
