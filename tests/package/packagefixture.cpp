#include "packagefixture.h"

#include "testapplication.h"
#include "testfiles.h"

#include <QDir>
#include <QFileInfo>
#include <QUrl>

#include <sys/stat.h>

PackageFixture::PackageFixture()
    : base(temp.path())
    , downloadDir(temp.path() + "/tupdates/")
    , root(temp.path() + "/opt/im")
    , downloads(downloadDir)
{
    QDir().mkpath(downloadDir);
    downloads.open();
    writeFile(root + "/vorn", "#!/bin/sh\n", 0755);
    writeFile(root + "/bin/im-client", "old client", 0644);
    writeFile(root + "/lib/libold.so", "old lib", 0644);
    ::chmod(QFile::encodeName(root).constData(), 0755);
    setApplicationArguments({"-root", root});
}

bool PackageFixture::writeArchive(const QString &urlPath,
                                  const QList<ZipBuilder::Entry> &entries) const
{
    const QString path = downloadDir + "/" + urlPath;
    QDir().mkpath(QFileInfo(path).absolutePath());
    return ZipBuilder(entries).write(path);
}

QByteArray PackageFixture::manifest(const QByteArray &elements)
{
    return "<?xml version=\"1.0\"?>\n<package project=\"im\" name=\"core\" type=\"app\">\n"
        + elements + "</package>\n";
}

QByteArray PackageFixture::fileElement(const QByteArray &name, const QByteArray &path,
                                       const QByteArray &action)
{
    return "  <file name=\"" + name + "\" path=\"" + path + "\" action=\"" + action + "\"/>\n";
}

PackageFixture::Offer PackageFixture::offer(const QString &type, const QString &link,
                                            const QString &project, const QString &name)
{
    return {{project, name, type}, QUrl(link).path()};
}
