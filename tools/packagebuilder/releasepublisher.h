#ifndef RELEASEPUBLISHER_H
#define RELEASEPUBLISHER_H

#include "packagebuilder.h"

#include <QList>
#include <QString>
#include <QStringList>

class SigningKey;
struct CatalogueEntry;

// An earlier release that still has users: its version and a directory of its files.
struct EarlierRelease
{
    QString version;
    QString directory;
};

// Publishes a release of a component in one step: its whole package, which also removes what
// the newest earlier release had and this one lacks, a patch package from each earlier
// release, both under the publishing address and the web directory, and their entry in the
// catalogue, whose other entries stay. Nothing is written when the release cannot be
// published as planned.
class ReleasePublisher
{
public:
    // info.link is left out: the links follow from the publishing address.
    ReleasePublisher(const PackageInfo &info, const QString &directory)
        : info(info)
        , directory(directory)
    { }

    void setEarlier(const QList<EarlierRelease> &releases) { earlier = releases; }
    // Packages published at url (http://HOST/PATH/) lie under wwwDirectory by the url's path.
    void setPublishing(const QString &url, const QString &wwwDirectory);
    // The key must outlive the publisher.
    void setSigningKey(const SigningKey *key) { signer = key; }
    void setJobs(int count) { jobs = count; }

    bool publish(const QString &catalogueFile);
    QString errorString() const { return error; }
    const QStringList &warnings() const { return notes; }

private:
    // The whole package's link, or the patch's from the earlier release.
    QString linkOf(const EarlierRelease *from) const;
    bool checkPlan(const QList<CatalogueEntry> &entries);
    bool removedFiles(QStringList *removals);
    bool buildPackage(const EarlierRelease *from, const QStringList &removals, QByteArray *entry);
    bool fail(const QString &message);

    PackageInfo info;
    QString directory;
    QList<EarlierRelease> earlier;
    QString publishUrl;
    QString www;
    const SigningKey *signer = nullptr;
    int jobs = 1;
    QString error;
    QStringList notes;
};

#endif // RELEASEPUBLISHER_H
