#include "httpresponseheader.h"

HttpResponseHeader::HttpResponseHeader(int statusCode, const QString &reasonPhrase,
                                       const QList<QPair<QByteArray, QByteArray>> &fields)
    : code(statusCode)
    , reason(reasonPhrase)
    , fields(fields)
{ }

bool HttpResponseHeader::hasContentLength() const
{
    bool ok = false;
    value("Content-Length").trimmed().toLongLong(&ok);
    return ok;
}

qint64 HttpResponseHeader::contentLength() const
{
    bool ok = false;
    const qint64 length = value("Content-Length").trimmed().toLongLong(&ok);
    return ok && length > 0 ? length : 0;
}

QByteArray HttpResponseHeader::value(const QByteArray &name) const
{
    for (const auto &field : fields) {
        if (field.first.compare(name, Qt::CaseInsensitive) == 0)
            return field.second;
    }
    return {};
}
