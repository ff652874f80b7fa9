#ifndef ROLLOUTPOSITION_H
#define ROLLOUTPOSITION_H

#include <QByteArray>

#include <optional>

class PrivateDirectory;

// This user's place in every staged rollout: a number drawn at random once and kept in the
// state directory, so that a release offered to a share of the installations reaches the same
// ones at each check. It is random and nothing else: it names no user, machine or installation.
class RolloutPosition
{
public:
    RolloutPosition() = delete;

    // The position kept in the directory, drawn anew and kept there when the file is missing,
    // unreadable or holds anything but one; none when none can be kept.
    static std::optional<int> of(const PrivateDirectory &state);
    // The position that bytes hold in the file's format, or -1.
    static int parse(const QByteArray &bytes);
};

#endif // ROLLOUTPOSITION_H
