#ifndef MANIFESTWALKER_H
#define MANIFESTWALKER_H

#include "digest.h"
#include "failure.h"

#include <QString>

#include <functional>

class QIODevice;

// Reads a package manifest start element by start element, at any depth and in document
// order: a "package" element is checked against the component the package is meant for, and
// each "file" element is handed to the caller before the next token is read. Shows nothing:
// a failure comes back with the text the user reads.
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
        // The digests of the installed file and of the file that a "patch" entry makes of it;
        // no digest when the entry names none or a malformed one.
        Digest from;
        Digest to;
    };

    // A failure ends the walk and is what walk() returns.
    using FileHandler = std::function<Failure(const FileEntry &entry)>;

    ManifestWalker(const Identity &expected, FileHandler handler);

    // The manifest must name its project, name and type before its first file, not merely
    // not name others: for manifests whose format is the updater's own.
    void requireIdentity() { identityRequired = true; }

    // Success once the end of the document is reached. Otherwise the handler's failure, or a
    // Package failure for a "package" element that names another project, name or type, for
    // a document that breaks off or is not XML (the entries before its first error were
    // handled), or for a required identity that is missing.
    Failure walk(QIODevice *device) const;

private:
    Identity expected;
    FileHandler handler;
    bool identityRequired = false;
};

#endif // MANIFESTWALKER_H
