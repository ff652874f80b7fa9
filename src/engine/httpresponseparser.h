#ifndef HTTPRESPONSEPARSER_H
#define HTTPRESPONSEPARSER_H

#include "httpresponseheader.h"

#include <QByteArray>
#include <QByteArrayView>

// Reads one HTTP/1.1 response from the bytes of its connection as they arrive: the status line
// and header fields, then the body as its framing says (Content-Length, chunked, or up to the
// close). The caller gets the body's bytes alone, as views into what it passed, and learns where
// the response ends, so that it reads no more from the connection than it can pass on.
class HttpResponseParser
{
public:
    enum State { ReadingHeader, ReadingBody, Complete, Invalid };

    // A response to HEAD has no body, whatever its header says.
    explicit HttpResponseParser(bool hasBody = true)
        : hasBody(hasBody)
    { }

    // Takes data up to the end of the next piece of body in it, or all of it when it holds
    // none; body is set to that piece, and data keeps what was not taken.
    State parse(QByteArrayView &data, QByteArrayView *body);
    // The connection closed: a body that runs to the close is complete.
    State close();

    State state() const { return current; }
    // Whether the connection may carry the next request once the response is complete.
    bool keepsConnection() const { return persistent; }
    // Valid once the state is past ReadingHeader.
    const HttpResponseHeader &header() const { return parsedHeader; }

private:
    enum Stage { StatusLine, Fields, Body, ChunkSize, ChunkData, ChunkEnd, Trailer };

    bool takeLine(QByteArrayView line);
    bool takeStatusLine(QByteArrayView line);
    void startBody();

    bool hasBody = true;
    State current = ReadingHeader;
    Stage stage = StatusLine;
    QByteArray line;
    int code = 0;
    bool persistent = false;
    QByteArray reason;
    QList<QPair<QByteArray, QByteArray>> fields;
    HttpResponseHeader parsedHeader;
    // Bytes left of the body or of the current chunk; -1: up to the close.
    qint64 remaining = -1;
};

#endif // HTTPRESPONSEPARSER_H
