#include "dottedversion.h"

QVersionNumber DottedVersion::parse(const QString &text)
{
    qsizetype suffix = 0;
    const QVersionNumber version = QVersionNumber::fromString(text, &suffix);
    if (version.isNull() || suffix != text.size())
        return QVersionNumber();
    return version.normalized();
}
