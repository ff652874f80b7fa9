#ifndef PACKAGEBUILDER_H
#define PACKAGEBUILDER_H

#include "digest.h"
#include "releasetree.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

class SigningKey;

// What the catalogue says about a package, besides its checksum and size.
struct PackageInfo
{
    QString project;
    QString name;
    QString type;
    QString version;
    QString link;
    QString description;
    QString copyrights;
    QString author;
    QString webpage;
    QString email;
    QString changelog;
    bool critical = false;
    quint32 timestamp = 0;
    // Offered also to installations of the project that do not have the component yet.
    bool offerAlways = false;
};

// Builds one update package: a zip archive of the files of a directory with a manifest that
// adds them and removes the listed files, and the catalogue entry that publishes it with the
// package's SHA-256 digest, size and, when a key is given, Ed25519 signature. A patch package
// carries binary deltas against an older release instead; its entry is a "patch" element.
class PackageBuilder
{
public:
    explicit PackageBuilder(const PackageInfo &info)
        : info(info)
    { }

    // Signs the package with the key, which must outlive the builder.
    void setSigningKey(const SigningKey *key) { signer = key; }
    // Builds a patch package for installations of fromVersion, whose files oldDirectory holds:
    // a changed file travels as a binary delta where that is smaller, an unchanged one not at
    // all, and a file missing from the new directory is removed.
    void setPatchFrom(const QString &oldDirectory, const QString &fromVersion);
    // How many threads make the deltas of a patch package; the package is the same whatever
    // the number. At least one.
    void setJobs(int count) { jobs = qMax(1, count); }

    // An empty directory name builds a package that only removes files.
    bool build(const QString &directory, const QStringList &removals, const QString &output);
    QByteArray catalogueEntry() const;
    QString errorString() const { return error; }
    const QStringList &warnings() const { return notes; }

private:
    bool checkInfo();
    bool collectFiles(const QString &directory);
    bool checkRemovals(const QStringList &removals);
    bool comparePatchFrom();
    QByteArray manifest() const;
    bool writeArchive(const QString &output);
    bool fail(const QString &message);

    PackageInfo info;
    QString manifestName;
    QStringList files;
    QStringList removed;
    struct Delta
    {
        QString file;
        Digest from;
        Digest to;
        QByteArray bytes;
        unsigned int mode;
    };
    QList<Delta> deltas;
    ReleaseTree release;
    QString patchDirectory;
    QString fromVersion;
    int jobs = 1;
    Digest digest;
    QByteArray signature;
    qint64 size = 0;
    const SigningKey *signer = nullptr;
    QString error;
    QStringList notes;
};

#endif // PACKAGEBUILDER_H
