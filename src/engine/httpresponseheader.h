#ifndef HTTPRESPONSEHEADER_H
#define HTTPRESPONSEHEADER_H

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QPair>
#include <QString>

// The status line and header fields of one HTTP response.
class HttpResponseHeader
{
public:
    HttpResponseHeader() = default;
    HttpResponseHeader(int statusCode, const QString &reasonPhrase,
                       const QList<QPair<QByteArray, QByteArray>> &fields);

    int statusCode() const { return code; }
    QString reasonPhrase() const { return reason; }
    bool hasContentLength() const;
    // 0 when the response carries no (valid) Content-Length.
    qint64 contentLength() const;
    // The value of the first field of that name (case-insensitive), empty if there is none.
    QByteArray value(const QByteArray &name) const;
    bool isSuccess() const { return code >= 200 && code <= 299; }

private:
    int code = 0;
    QString reason;
    QList<QPair<QByteArray, QByteArray>> fields;
};

Q_DECLARE_METATYPE(HttpResponseHeader)

#endif // HTTPRESPONSEHEADER_H
