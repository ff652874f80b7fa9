#ifndef PACKAGELINK_H
#define PACKAGELINK_H

#include <QString>

// A package's address as the updater fetches it: plain HTTP from port 80, the path alone,
// stored under that path in its download directory, where it also finds the manifest. A link
// it would fetch elsewhere, or refuse to store, is refused here, where the publisher sees it.
class PackageLink
{
public:
    // The updater looks for the manifest at the link's path with ".xml" for ".zip", relative to
    // the archive root: /updates/core.zip gives updates/core.xml. Empty for any other path.
    static QString manifestEntry(const QString &link);

    // componentName: the package's component, whose working directory the path must avoid.
    bool check(const QString &link, const QString &componentName);
    QString errorString() const { return error; }

private:
    bool fail(const QString &message);

    QString error;
};

#endif // PACKAGELINK_H
