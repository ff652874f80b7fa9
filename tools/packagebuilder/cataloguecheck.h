#ifndef CATALOGUECHECK_H
#define CATALOGUECHECK_H

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <utility>
#include <vector>

struct CatalogueEntry;

// Checks a catalogue before it is published, as the updater will check what it is offered:
// each package, whole or patch, against its file under the directory that the web server
// serves (size, SHA-256, and the signature of its statement by one of the publisher's package
// keys), its link against what the updater fetches, and the entries against each other: one
// package per link, one entry per version of a component, patches from older listed versions.
class CatalogueCheck
{
public:
    // publicKeys: the package keys' 32-byte public keys, any of which may have signed. Without
    // a package directory the files are not looked at: links and versions are checked alone,
    // as on an update server that does not serve the packages itself.
    CatalogueCheck(const QString &packageDirectory, const QList<QByteArray> &publicKeys)
        : directory(packageDirectory)
        , keys(publicKeys)
    { }

    // False when the catalogue cannot be read or any check fails.
    bool check(const QString &catalogueFile);
    // "FILE:LINE: what is wrong", in the order of the file.
    const QStringList &problems() const { return found; }
    // What was checked, on one line.
    QString summary() const;

private:
    void checkVersions(const QList<CatalogueEntry> &entries);
    void checkPackage(const CatalogueEntry &entry, const QHash<QString, QString> &values,
                      qint64 line);
    void checkFile(const CatalogueEntry &entry, const QHash<QString, QString> &values, qint64 line);
    void report(qint64 line, const QString &message);

    QString directory;
    QList<QByteArray> keys;
    QString fileName;
    QHash<QString, qint64> linkLines;
    int packages = 0;
    std::vector<std::pair<qint64, QString>> reports;
    QStringList found;
};

#endif // CATALOGUECHECK_H
