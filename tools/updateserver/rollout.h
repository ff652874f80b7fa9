#ifndef ROLLOUT_H
#define ROLLOUT_H

#include <QString>

#include <optional>

class QXmlStreamAttributes;

// A staged offer of one catalogue entry: a share of the installations, by their rollout
// positions, that grows from 0 to all of them, and the halt rule that stops it when too many of
// its installations fail. Shares count in hundredths of a percent, as positions do: an
// installation at position p is inside a share s when p < s.
class Rollout
{
public:
    enum Decision {
        None, // no rollout under way: the newest entry is offered to all
        Inside,
        Outside, // or no position sent
        Halted,
    };

    static constexpr int full = 10000;
    static constexpr int defaultHaltFailures = 500;
    static constexpr int defaultHaltMinimum = 50;

    // The rollout that a catalogue entry's attributes give; none when they give none, or when
    // they are malformed, with what is wrong in *problem.
    static std::optional<Rollout> read(const QXmlStreamAttributes &attributes, QString *problem);

    // The share at that time, in seconds since the epoch.
    int shareAt(qint64 now) const;
    bool includes(int position, qint64 now) const { return position < shareAt(now); }
    // Reports that count against the release: more than haltFailures() of them (in hundredths
    // of a percent) among at least haltMinimum() halts it.
    int haltFailures() const { return failureShare; }
    int haltMinimum() const { return minimum; }
    bool trips(qint64 failures, qint64 successes) const;
    // The attributes as the catalogue gives them: a halt stands while they stay the same.
    QString text() const { return attributes; }

private:
    int share = full;
    bool scheduled = false;
    qint64 start = 0;
    qint64 duration = 0;
    int failureShare = defaultHaltFailures;
    int minimum = defaultHaltMinimum;
    QString attributes;
};

#endif // ROLLOUT_H
