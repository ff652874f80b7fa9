#include "plainname.h"

bool isPlainName(const QString &text)
{
    if (text.isEmpty() || text == QLatin1String(".") || text == QLatin1String(".."))
        return false;
    for (const QChar c : text) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c.unicode() < 0x20
            || c.unicode() == 0x7f)
            return false;
    }
    return true;
}
