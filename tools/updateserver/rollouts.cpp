#include "rollouts.h"

#include "dottedversion.h"
#include "replyformat.h"
#include "serverlog.h"
#include "servermetrics.h"

#include <QFile>
#include <QSaveFile>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QString keyOf(const QString &project, const QString &name, const QString &type,
              const QString &version)
{
    return project + u'\t' + name + u'\t' + type + u'\t' + version;
}

// As the catalogue gives it, and the offers' metrics show it.
QString versionOf(const CatalogueEntry &entry)
{
    return entry.fields.value(ReplyFormat::version);
}

QString keyOf(const CatalogueEntry &entry)
{
    return keyOf(entry.project, entry.name, entry.type, entry.version.toString());
}

// Key -> rollout attributes; false when the file exists and cannot be read.
bool readHalts(const QString &fileName, QHash<QString, QString> *lines, QString *error)
{
    QFile file(fileName);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1: %2").arg(fileName, file.errorString());
        return false;
    }
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).chopped(1);
        const qsizetype last = line.lastIndexOf(u'\t');
        if (line.count(u'\t') == 4)
            lines->insert(line.left(last), line.mid(last + 1));
    }
    return true;
}

bool writeLines(const QString &fileName, const QHash<QString, QString> &lines, QString *error)
{
    // Written whole beside the old one, synced and renamed over it: a crash leaves one or the
    // other.
    QSaveFile file(fileName);
    QByteArray text;
    for (auto line = lines.cbegin(); line != lines.cend(); ++line)
        text += (line.key() + u'\t' + line.value() + u'\n').toUtf8();
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size()) {
        *error = QStringLiteral("%1: %2").arg(fileName, file.errorString());
        return false;
    }
    // A publisher who lifts a halt as root leaves the file the service's own: a file of root's
    // is one the service cannot read.
    struct stat old;
    if (::geteuid() == 0 && ::stat(QFile::encodeName(fileName).constData(), &old) == 0
        && ::fchown(file.handle(), old.st_uid, old.st_gid) != 0) {
        *error = QStringLiteral("%1: %2").arg(fileName, qt_error_string(errno));
        return false;
    }
    if (!file.commit()) {
        *error = QStringLiteral("%1: %2").arg(fileName, file.errorString());
        return false;
    }
    return true;
}

} // namespace

Rollouts::Rollouts(const QString &haltFile, int reportsPerMinute, ServerMetrics *metrics)
    : haltFile(haltFile)
    , reportsPerMinute(reportsPerMinute)
    , metrics(metrics)
{ }

int Rollouts::lift(const QString &haltFile, const QString &component, const QString &version,
                   QString *error)
{
    QHash<QString, QString> lines;
    if (!readHalts(haltFile, &lines, error))
        return -1;
    const auto before = lines.size();
    lines.removeIf([&](const QHash<QString, QString>::iterator &line) {
        const QStringList parts = line.key().split(u'\t');
        return parts.at(1) == component
            && DottedVersion::parse(parts.at(3)) == DottedVersion::parse(version);
    });
    const int lifted = int(before - lines.size());
    if (lifted > 0 && !writeLines(haltFile, lines, error))
        return -1;
    return lifted;
}

void Rollouts::setCatalogue(std::shared_ptr<const Catalogue> published)
{
    const std::lock_guard<std::mutex> lock(mutex);
    catalogue = std::move(published);
    QHash<QString, QString> lines;
    QString error;
    if (!readHalts(haltFile, &lines, &error))
        ServerLog::note(QStringLiteral("halts not read: %1").arg(error));
    QHash<QString, QString> standing;
    halted.clear();
    for (const CatalogueEntry *entry : staged()) {
        const QString key = keyOf(*entry);
        const auto line = lines.constFind(key);
        if (line != lines.cend() && line.value() == entry->rollout->text()) {
            standing.insert(key, line.value());
            halted.insert(entry);
        }
    }
    // A halt lifted, by the publisher's hand or a changed rollout, starts its count again.
    for (auto line = haltLines.cbegin(); line != haltLines.cend(); ++line) {
        if (!standing.contains(line.key()))
            counts.remove(line.key());
    }
    if (standing.size() != lines.size()) {
        ServerLog::note(QStringLiteral("%1 halts lifted, %2 stand")
                            .arg(lines.size() - standing.size())
                            .arg(standing.size()));
        haltLines = standing;
        if (!writeHalts(&error))
            ServerLog::note(QStringLiteral("halts not written: %1").arg(error));
    }
    haltLines = standing;
}

RolloutAudience Rollouts::audience(qint64 now) const
{
    const std::lock_guard<std::mutex> lock(mutex);
    return {std::nullopt, now, halted};
}

bool Rollouts::admitReport(const QHostAddress &address, qint64 nowSeconds)
{
    const std::lock_guard<std::mutex> lock(mutex);
    if (reportsPerMinute == 0)
        return true;
    const qint64 minute = nowSeconds / 60;
    // The windows of past minutes go now and then, so that the table stays as large as a
    // minute's senders.
    if (reportsFrom.size() > 4096) {
        reportsFrom.removeIf([minute](const QHash<QHostAddress, Window>::iterator &window) {
            return window.value().minute != minute;
        });
    }
    Window &window = reportsFrom[address];
    if (window.minute != minute)
        window = {minute, 0};
    if (window.reports >= reportsPerMinute) {
        if (metrics)
            metrics->reportRefused(QStringLiteral("rate-limited"));
        return false;
    }
    ++window.reports;
    return true;
}

void Rollouts::record(const QList<ReportedPackage> &packages)
{
    const std::lock_guard<std::mutex> lock(mutex);
    for (const ReportedPackage &package : packages) {
        const CatalogueEntry *entry = catalogue->findVersion(
            package.project, package.component, package.type, DottedVersion::parse(package.to));
        // Labelled by the catalogue's own names: a report is signed by nobody, and names of its
        // own would make a series each.
        if (metrics)
            metrics->reported(entry ? entry->name : QStringLiteral("-"),
                              entry ? versionOf(*entry) : QStringLiteral("-"), package.outcome);
        if (!entry || !entry->rollout || halted.contains(entry))
            continue;
        const bool success = InstallReport::isSuccess(package.outcome);
        if (!success && !InstallReport::isFailure(package.outcome))
            continue;
        const QString key = keyOf(*entry);
        Counts &counted = counts[key];
        if (counted.rollout != entry->rollout->text())
            counted = {entry->rollout->text(), 0, 0};
        ++(success ? counted.successes : counted.failures);
        if (entry->rollout->trips(counted.failures, counted.successes))
            halt(*entry, key, counted);
    }
}

void Rollouts::halt(const CatalogueEntry &entry, const QString &key, const Counts &counted)
{
    halted.insert(&entry);
    haltLines.insert(key, entry.rollout->text());
    QString error;
    const bool kept = writeHalts(&error);
    ServerLog::note(
        QStringLiteral("halted %1/%2/%3 %4: %5 failures among %6 reports, more than %7% of at "
                       "least %8%9")
            .arg(entry.project, entry.name, entry.type, versionOf(entry))
            .arg(counted.failures)
            .arg(counted.failures + counted.successes)
            .arg(entry.rollout->haltFailures() / 100.0)
            .arg(entry.rollout->haltMinimum())
            .arg(kept ? QString() : QStringLiteral("; not kept for a restart: ") + error));
    if (metrics)
        metrics->rolloutState(entry.name, versionOf(entry), 0, true);
}

QList<const CatalogueEntry *> Rollouts::staged() const
{
    QList<const CatalogueEntry *> entries;
    for (const CatalogueEntry &each : catalogue->listed()) {
        const CatalogueEntry *entry
            = catalogue->findVersion(each.project, each.name, each.type, each.version);
        if (entry->rollout && !entries.contains(entry))
            entries.append(entry);
    }
    return entries;
}

bool Rollouts::writeHalts(QString *error) const
{
    return writeLines(haltFile, haltLines, error);
}

void Rollouts::updateGauges(qint64 now)
{
    const std::lock_guard<std::mutex> lock(mutex);
    if (!metrics || !catalogue)
        return;
    QSet<std::pair<QString, QString>> showing;
    for (const CatalogueEntry *entry : staged()) {
        const bool isHalted = halted.contains(entry);
        metrics->rolloutState(entry->name, versionOf(*entry),
                              isHalted ? 0 : entry->rollout->shareAt(now), isHalted);
        showing.insert({entry->name, versionOf(*entry)});
    }
    for (const auto &[component, version] : std::as_const(shown)) {
        if (!showing.contains({component, version}))
            metrics->rolloutGone(component, version);
    }
    shown = showing;
}
