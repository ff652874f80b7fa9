#ifndef UPDATEREPLY_H
#define UPDATEREPLY_H

#include "offeredpackage.h"

#include <QByteArray>
#include <QDomDocument>
#include <QStringList>
#include <QVector>
#include <QXmlStreamReader>

// The update server's reply as it arrives. The reply has no framing: it is complete as soon
// as the bytes received form a well-formed XML document. Completeness is tracked over the new
// bytes only, so a reply in many small pieces costs linear time.
class UpdateReply
{
public:
    enum Status {
        Incomplete,
        Complete,
        TooLarge,
        Refused, // a DTD, or beyond the bounds of ReplyLimits: no reply needs it
    };

    Status append(const QByteArray &bytes);
    Status status() const { return state; }
    // The bytes of a complete reply, exactly as they came.
    const QByteArray &bytes() const { return buffer; }

    // What a complete reply offers, in document order; nothing before it is complete.
    QVector<OfferedPackage> offers() const;

private:
    bool withinBounds();

    QByteArray buffer;
    // The open elements' names, and the text each child of a request has gathered so far.
    QStringList open;
    QVector<qsizetype> fieldText;
    int requests = 0;
    QXmlStreamReader reader;
    QDomDocument document;
    Status state = Incomplete;
};

#endif // UPDATEREPLY_H
