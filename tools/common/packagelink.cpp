#include "packagelink.h"

#include "downloaddirectory.h"
#include "pathbeneath.h"
#include "textconversion.h"

#include <QFile>
#include <QUrl>

QString PackageLink::manifestEntry(const QString &link)
{
    const QUrl url(link, QUrl::StrictMode);
    const QString path = url.path();
    if (!url.isValid() || url.host().isEmpty() || !path.startsWith(u'/')
        || !path.endsWith(QLatin1String(".zip")) || path.size() <= 5)
        return QString();
    return path.mid(1).chopped(4) + QStringLiteral(".xml");
}

bool PackageLink::check(const QString &link, const QString &componentName)
{
    // The updater reads the link byte for byte as Latin-1.
    if (!isAscii(link))
        return fail(QStringLiteral("the link must be ASCII; percent-encode other characters"));
    const QUrl url(link, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        return fail(QStringLiteral("the link must be an address such as "
                                   "http://host/updates/core.zip"));
    const QString plain
        = QStringLiteral("http://%1%2").arg(url.host(), url.path(QUrl::FullyEncoded));
    if (url.scheme() != u"http")
        return fail(QStringLiteral("the link must begin with http://: the updater fetches every "
                                   "package with plain HTTP from port 80, whatever the link "
                                   "says (the signature protects it). Serve the package there "
                                   "and give the link %1")
                        .arg(plain));
    if (url.port() != -1 && url.port() != 80)
        return fail(QStringLiteral("the link names port %1, but the updater fetches every "
                                   "package from port 80. Serve the package there and give the "
                                   "link %2")
                        .arg(url.port())
                        .arg(plain));
    if (!url.userInfo().isEmpty())
        return fail(QStringLiteral("the link holds a user name, which the updater never sends. "
                                   "Serve the package to anyone and give the link %1")
                        .arg(plain));
    if (url.hasQuery() || url.hasFragment())
        return fail(QStringLiteral("the link holds a query or a fragment, which the updater "
                                   "never sends: it asks for the path alone. Serve the package "
                                   "at a path of its own and give the link %1")
                        .arg(plain));
    if (manifestEntry(link).isEmpty())
        return fail(QStringLiteral("the link must be an address whose path ends with .zip, such "
                                   "as http://host/updates/core.zip"));
    const QStringList segments = url.path().mid(1).split(u'/');
    if (segments.contains(QString()) || segments.contains(QStringLiteral("."))
        || segments.contains(QStringLiteral("..")))
        return fail(QStringLiteral("the link's path %1 has an empty, \".\" or \"..\" segment: "
                                   "the updater would refuse it or store the package elsewhere. "
                                   "Give a plain path such as /updates/core.zip")
                        .arg(url.path()));
    if (DownloadDirectory::namesWorkPlace(PathBeneath::segmentsOf(url.path()), {},
                                          QFile::encodeName(componentName), {}))
        return fail(QStringLiteral("the link's path %1 begins where the updater keeps its own "
                                   "files in its download directory, and it would refuse the "
                                   "package. Publish it under another directory")
                        .arg(url.path()));
    return true;
}

bool PackageLink::fail(const QString &message)
{
    error = message;
    return false;
}
