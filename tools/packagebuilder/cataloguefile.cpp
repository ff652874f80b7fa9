#include "cataloguefile.h"

#include <QFile>
#include <QSaveFile>

namespace {

const QLatin1String rootEnd("</catalogue>");

} // namespace

bool CatalogueFile::read(const QString &path)
{
    fileName = path;
    if (!QFile::exists(path)) {
        text = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<catalogue>\n%1\n")
                   .arg(rootEnd);
        return true;
    }
    if (!catalogue.load(path))
        return fail(catalogue.errorString());
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("%1: %2").arg(path, file.errorString()));
    text = QString::fromUtf8(file.readAll());
    if (!text.contains(rootEnd))
        return fail(
            QStringLiteral("%1: the catalogue has no %2 to put entries before").arg(path, rootEnd));
    return true;
}

void CatalogueFile::put(const QString &project, const QString &name, const QString &type,
                        const QVersionNumber &version, const QByteArray &entry)
{
    const QList<CatalogueEntry> &listed = catalogue.listed();
    // From the end, so that the spans before stay where they were.
    for (auto each = listed.crbegin(); each != listed.crend(); ++each) {
        if (each->project == project && each->name == name && each->type == type
            && each->version == version)
            text.remove(each->span.first, each->span.second - each->span.first);
    }
    const qsizetype end = text.lastIndexOf(rootEnd);
    text.insert(end, QString::fromUtf8(entry));
    if (end > 0 && text.at(end - 1) != u'\n')
        text.insert(end, u'\n');
}

bool CatalogueFile::save()
{
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) < 0 || !file.commit())
        return fail(QStringLiteral("cannot write %1: %2").arg(fileName, file.errorString()));
    return true;
}

bool CatalogueFile::fail(const QString &message)
{
    error = message;
    return false;
}
