#include "rollout.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QXmlStreamAttributes>

namespace {

const QLatin1String shareName("rollout");
const QLatin1String startName("rollout-start");
const QLatin1String durationName("rollout-duration");
const QLatin1String failuresName("halt-failures");
const QLatin1String minimumName("halt-minimum");

// "12.5%" in hundredths of a percent, from 0 to 100 % with at most two decimals; -1 when it is
// anything else.
int percent(QStringView text)
{
    static const QRegularExpression format(QStringLiteral("^([0-9]{1,3})(?:\\.([0-9]{1,2}))?%$"));
    const QRegularExpressionMatch match = format.match(text.toString());
    if (!match.hasMatch())
        return -1;
    const QString decimals = match.captured(2).leftJustified(2, u'0');
    const int value = match.captured(1).toInt() * 100 + decimals.toInt();
    return value <= Rollout::full ? value : -1;
}

// "7d", "12h", "30m" or "90s" in seconds; 0 when it is anything else.
qint64 seconds(QStringView text)
{
    static const QRegularExpression format(QStringLiteral("^([1-9][0-9]{0,5})([smhd])$"));
    const QRegularExpressionMatch match = format.match(text.toString());
    if (!match.hasMatch())
        return 0;
    const qint64 unit = match.captured(2) == u"d" ? 86400
        : match.captured(2) == u"h"               ? 3600
        : match.captured(2) == u"m"               ? 60
                                                  : 1;
    return match.captured(1).toLongLong() * unit;
}

} // namespace

std::optional<Rollout> Rollout::read(const QXmlStreamAttributes &attributes, QString *problem)
{
    const auto value = [&attributes](QLatin1String name) {
        return attributes.hasAttribute(name)
            ? std::optional<QString>(attributes.value(name).toString())
            : std::nullopt;
    };
    const std::optional<QString> share = value(shareName);
    const std::optional<QString> start = value(startName);
    const std::optional<QString> duration = value(durationName);
    const std::optional<QString> failures = value(failuresName);
    const std::optional<QString> minimum = value(minimumName);
    const auto fail = [problem](const QString &text) {
        *problem = text;
        return std::nullopt;
    };
    if (!share && !start && !duration) {
        if (failures || minimum)
            return fail(QStringLiteral("halt-failures and halt-minimum need a rollout"));
        return std::nullopt;
    }
    Rollout rollout;
    if (share) {
        if (start || duration)
            return fail(QStringLiteral("give either rollout or rollout-start and "
                                       "rollout-duration, not both"));
        rollout.share = percent(*share);
        if (rollout.share < 0)
            return fail(QStringLiteral("rollout must be a share from 0% to 100% with at most "
                                       "two decimals, not \"%1\"")
                            .arg(*share));
    } else {
        if (!start || !duration)
            return fail(QStringLiteral("rollout-start and rollout-duration go together"));
        const QDateTime begin = QDateTime::fromString(*start, Qt::ISODate);
        if (!start->endsWith(u'Z') || !begin.isValid())
            return fail(QStringLiteral("rollout-start must be a UTC time such as "
                                       "2026-12-10T00:00:00Z, not \"%1\"")
                            .arg(*start));
        rollout.duration = seconds(*duration);
        if (rollout.duration == 0)
            return fail(QStringLiteral("rollout-duration must be a whole number of days, hours, "
                                       "minutes or seconds such as 7d, not \"%1\"")
                            .arg(*duration));
        rollout.scheduled = true;
        rollout.start = begin.toSecsSinceEpoch();
    }
    if (failures) {
        rollout.failureShare = percent(*failures);
        if (rollout.failureShare < 0)
            return fail(QStringLiteral("halt-failures must be a share from 0% to 100% with at "
                                       "most two decimals, not \"%1\"")
                            .arg(*failures));
    }
    if (minimum) {
        static const QRegularExpression count(QStringLiteral("^[1-9][0-9]{0,8}$"));
        if (!count.match(*minimum).hasMatch())
            return fail(QStringLiteral("halt-minimum must be a number of reports from 1, not "
                                       "\"%1\"")
                            .arg(*minimum));
        rollout.minimum = minimum->toInt();
    }
    for (const auto &[name, given] : {std::pair {shareName, share},
                                      {startName, start},
                                      {durationName, duration},
                                      {failuresName, failures},
                                      {minimumName, minimum}}) {
        if (given)
            rollout.attributes += QStringLiteral(" %1=\"%2\"").arg(name, *given);
    }
    rollout.attributes = rollout.attributes.trimmed();
    return rollout;
}

int Rollout::shareAt(qint64 now) const
{
    if (!scheduled)
        return share;
    if (now <= start)
        return 0;
    if (now - start >= duration)
        return full;
    return int((now - start) * full / duration);
}

bool Rollout::trips(qint64 failures, qint64 successes) const
{
    const qint64 counted = failures + successes;
    return counted >= minimum && failures * full > qint64(failureShare) * counted;
}
