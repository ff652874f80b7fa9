#ifndef UPDATEREPLY_H
#define UPDATEREPLY_H

#include "failure.h"
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
    // Takes the next bytes of the reply. A failure of kind Reply when the reply grows too large
    // or is refused (a DTD, or beyond the bounds of ReplyLimits: no reply needs it); the reply
    // then takes no more bytes and stays refused.
    Failure append(const QByteArray &bytes);
    bool isComplete() const { return complete; }
    // What the user reads when the exchange broke off (kind Network) or its reply was refused
    // (kind Reply), whatever the cause.
    static Failure failure(Failure::Kind kind);
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
    bool complete = false;
    Failure refused;
};

#endif // UPDATEREPLY_H
