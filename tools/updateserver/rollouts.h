#ifndef ROLLOUTS_H
#define ROLLOUTS_H

#include "catalogue.h"
#include "installreport.h"

#include <QHash>
#include <QHostAddress>
#include <QString>

#include <memory>
#include <mutex>

class ServerMetrics;

// The server's state of the staged rollouts: the install reports counted for each staged entry,
// and the entries halted by their halt rule. The halts are kept in a file beside the catalogue,
// so that they outlast a restart; the counts start again with each start.
//
// The halt file holds one line per halted entry, "project<TAB>name<TAB>type<TAB>version<TAB>
// the rollout attributes": a halt stands while the entry is listed with the same attributes.
//
// Shared by the server's event loops: each call takes the others' turn.
class Rollouts
{
public:
    // reportsPerMinute: reports taken from one address (or IPv6 /64) a minute; 0, no bound.
    Rollouts(const QString &haltFile, int reportsPerMinute, ServerMetrics *metrics);

    static QString haltFileOf(const QString &catalogueFile)
    {
        return catalogueFile + QStringLiteral(".halts");
    }
    // Lifts the halts of the component's version in the file; the number lifted, or -1 with
    // *error when the file cannot be read or written.
    static int lift(const QString &haltFile, const QString &component, const QString &version,
                    QString *error);

    // Reads the halt file again, for this catalogue: halts of entries it does not list with the
    // same rollout are lifted, and their counts start again.
    void setCatalogue(std::shared_ptr<const Catalogue> published);
    RolloutAudience audience(qint64 now) const;
    // False when the address has sent its share of reports this minute.
    bool admitReport(const QHostAddress &address, qint64 nowSeconds);
    // Counts the report's packages, and halts the entries whose halt rule they trip.
    void record(const QList<ReportedPackage> &packages);
    // Sets the rollouts' gauges for that time.
    void updateGauges(qint64 now);

private:
    struct Counts
    {
        QString rollout; // the attributes counted under
        qint64 failures = 0;
        qint64 successes = 0;
    };
    struct Window
    {
        qint64 minute = 0;
        int reports = 0;
    };

    void halt(const CatalogueEntry &entry, const QString &key, const Counts &counts);
    bool writeHalts(QString *error) const;
    // The entries under a rollout, each once.
    QList<const CatalogueEntry *> staged() const;

    mutable std::mutex mutex;
    QString haltFile;
    int reportsPerMinute;
    ServerMetrics *metrics;
    std::shared_ptr<const Catalogue> catalogue;
    // By "project<TAB>name<TAB>type<TAB>version".
    QHash<QString, Counts> counts;
    QHash<QString, QString> haltLines;
    QSet<const CatalogueEntry *> halted;
    QHash<QHostAddress, Window> reportsFrom;
    // The staged entries the gauges show, by component and version.
    QSet<std::pair<QString, QString>> shown;
};

#endif // ROLLOUTS_H
