#ifndef FAILURE_H
#define FAILURE_H

#include <QString>

// What went wrong in one step of a run: its kind, the text the user reads, and the system's
// error number when one caused it. Every layer above the file-system floor returns this value
// (a default-made one is success), so that a failure is described once, where it happens,
// and shown or counted by whoever decides to.
class Failure
{
public:
    // The kinds are few and fixed: callers branch on them, and they name the cause without
    // naming a path, a host or a person.
    enum Kind {
        None,
        Network, // the update server or a package host failed or broke off
        Reply, // the update server's reply was refused: malformed, too large, not signed for us
        Refused, // an offer or a package failed a check: version, link, size, digest, signature
        Package, // a package's archive or manifest cannot be installed
        Storage, // the disk refused: full, unwritable, or a place that is not ours
        Installation, // the installation is not one a package may change
        Messenger, // the messenger gave no query
        Lock, // another run holds a place this one needs
        Rollback, // undoing the run failed
        Cancelled, // the user stopped the run
    };

    Failure() = default;
    Failure(Kind kind, const QString &text, int systemError = 0)
        : failureKind(kind)
        , userText(text)
        , error(systemError)
    { }

    bool isFailure() const { return failureKind != None; }
    explicit operator bool() const { return isFailure(); }
    Kind kind() const { return failureKind; }
    // The whole text for the user, in their language.
    const QString &text() const { return userText; }
    // errno of the call that failed, 0 when none did.
    int systemError() const { return error; }

private:
    Kind failureKind = None;
    QString userText;
    int error = 0;
};

#endif // FAILURE_H
