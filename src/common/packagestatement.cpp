#include "packagestatement.h"

#include <QStringList>

namespace {

bool isLineValue(const QString &value)
{
    for (const QChar c : value) {
        if (c.unicode() > 0xff || c == QLatin1Char('\n') || c == QLatin1Char('\r') || c.isNull())
            return false;
    }
    return true;
}

} // namespace

bool PackageStatement::isComplete() const
{
    return isLineValue(project) && isLineValue(name) && isLineValue(type) && isLineValue(version)
        && isLineValue(from) && size >= 0 && digest.isValid();
}

QByteArray PackageStatement::text() const
{
    return "vorn-package-statement 1\nproject " + project.toLatin1() + "\nname " + name.toLatin1()
        + "\ntype " + type.toLatin1() + "\nversion " + version.toLatin1()
        + (from.isEmpty() ? QByteArray() : "\nfrom " + from.toLatin1()) + "\nsize "
        + QByteArray::number(size) + '\n' + Digest::name(digest.algorithm()).latin1() + ' '
        + digest.toHex() + '\n';
}
