#include "updatequery.h"

#include <QString>

QByteArray cutUpdateQuery(const QByteArray &messengerOutput)
{
    static const QByteArray open("<s>");
    static const QByteArray close("</s>");
    const qsizetype begin = messengerOutput.indexOf(open);
    const qsizetype end = messengerOutput.lastIndexOf(close);
    if (begin < 0 || end < 0 || end < begin + open.size())
        return {};
    QByteArray query = messengerOutput.mid(begin, end + close.size() - begin);
    const qsizetype nul = query.indexOf('\0');
    if (nul >= 0)
        query.truncate(nul);
    // The server expects the printed text read as Latin-1 and sent as UTF-8.
    return QString::fromLatin1(query).toUtf8();
}
