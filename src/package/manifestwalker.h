#ifndef MANIFESTWALKER_H
#define MANIFESTWALKER_H

#include <QString>

#include <functional>

class QIODevice;

// Reads a package manifest start element by start element, at any depth and in document
// order: a "package" element is checked against the component the package is meant for, and
// each "file" element is handed to the caller before the next token is read. Shows nothing.
class ManifestWalker
{
public:
    struct Identity
    {
        QString project;
        QString name;
        QString type;
    };

    struct FileEntry
    {
        QString name;
        QString path;
        QString action; // lower case
        // The SHA-256 digests, in hex, of the installed file and of the file that a "patch"
        // entry makes of it.
        QString fromSha256;
        QString sha256;
    };

    enum Outcome {
        Complete, // the end of the document was reached
        Malformed, // the document broke off or is not XML; the entries before were handled
        WrongProject,
        WrongName,
        WrongType,
        Stopped, // the file handler returned false
        Unidentified // identity required: no "package" element with all three, before any file
    };

    using FileHandler = std::function<bool(const FileEntry &entry)>;

    ManifestWalker(const Identity &expected, FileHandler handler);

    // The manifest must name its project, name and type before its first file, not merely
    // not name others: for manifests whose format is the updater's own.
    void requireIdentity() { identityRequired = true; }

    // A malformed document is walked up to its first error, with the entries before it
    // handled.
    Outcome walk(QIODevice *device) const;

private:
    Identity expected;
    FileHandler handler;
    bool identityRequired = false;
};

#endif // MANIFESTWALKER_H
