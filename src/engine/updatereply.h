#ifndef UPDATEREPLY_H
#define UPDATEREPLY_H

#include <QByteArray>
#include <QDomDocument>
#include <QVector>
#include <QXmlStreamReader>

class Update;
struct PackageCheck;

// The update server's reply as it arrives. The reply has no framing: it is complete as soon
// as the bytes received form a well-formed XML document. Completeness is tracked over the new
// bytes only, so a reply in many small pieces costs linear time.
class UpdateReply
{
public:
    enum Status { Incomplete, Complete, TooLarge };

    // A server that streams without end must not exhaust memory.
    static constexpr qsizetype maximumSize = 16 * 1024 * 1024;

    Status append(const QByteArray &bytes);
    Status status() const { return state; }

    // The offered updates of a complete reply, in document order; the caller owns them.
    // checks, when given, receives what the reply says to verify each package by, in the
    // same order.
    QVector<Update *> takeUpdates(QVector<PackageCheck> *checks = nullptr) const;

private:
    QByteArray buffer;
    QXmlStreamReader reader;
    QDomDocument document;
    Status state = Incomplete;
};

#endif // UPDATEREPLY_H
