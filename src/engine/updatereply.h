#ifndef UPDATEREPLY_H
#define UPDATEREPLY_H

#include "patchoffer.h"

#include <QByteArray>
#include <QDomDocument>
#include <QList>
#include <QStringList>
#include <QVector>
#include <QXmlStreamReader>

class Update;

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

    // The offered updates of a complete reply, in document order; the caller owns them.
    // checks, when given, receives what the reply says to verify each package by, and patches
    // the patch packages offered beside each, in the same order.
    QVector<Update *> takeUpdates(QVector<PackageCheck> *checks = nullptr,
                                  QVector<QList<PatchOffer>> *patches = nullptr) const;

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
