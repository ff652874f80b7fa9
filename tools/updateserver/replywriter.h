#ifndef REPLYWRITER_H
#define REPLYWRITER_H

#include "sha256.h"

#include <QByteArray>
#include <QStringList>

class Catalogue;
class SigningKey;
class QueryParser;
struct CatalogueEntry;
struct CataloguePatch;
struct QueriedComponent;

// Answers each queried component from the catalogue: a full request when a newer version is
// published, "latest" when not, "noSuchComponent" when the component is unknown. The reply is
// handed out piece by piece, as the client takes it, and made from the query as it goes: a
// client that reads slowly, or not at all, costs no more than the query and one piece. With a
// reply key, the reply is hashed as it goes and ends with its signature for the query and the
// nonce in front of it.
class ReplyWriter
{
public:
    enum Status {
        Ready,
        TooManyComponents,
        TooLarge, // more than the updater accepts
    };

    // All must outlive the writer; the query must be complete; replyKey may be null.
    ReplyWriter(const Catalogue &catalogue, const QueryParser &query, int maximumComponents,
                const SigningKey *replyKey = nullptr);

    Status status() const { return state; }
    // The query's components, up to the first beyond the maximum, and the reply's bytes.
    int componentCount() const { return components; }
    qint64 size() const { return total; }
    // The next piece, of `bytes` unless it is the last; empty after the last.
    QByteArray read(qsizetype bytes);
    bool atEnd() const { return written == total; }
    // What was asked and answered, for the log.
    QString summary() const;

    // The parts of a full request that come from the catalogue, which keeps them written.
    static QByteArray requestChildren(const CatalogueEntry &entry);
    static QByteArray patchElement(const CataloguePatch &patch);

private:
    // The parts of the reply that follow those handed out; false after the last.
    bool takeNextParts();
    // The reply's last parts: its signature, if any, and its closing tag.
    QByteArrayList lastParts();

    const Catalogue &catalogue;
    const QueryParser &query;
    Status state = Ready;
    int components = 0;
    qint64 total = 0;
    qint64 written = 0;
    // Where the next request's component starts in the query; -1 before the reply's head,
    // queryEnd once its tail has been taken.
    static constexpr qsizetype queryEnd = -2;
    qsizetype position = -1;
    // What is left of the parts taken last, from partOffset in the first.
    QByteArrayList parts;
    qsizetype partOffset = 0;
    QStringList answers;
    int unlisted = 0;
    const SigningKey *replyKey;
    // Of the reply without its signature.
    Sha256 hash;
};

#endif // REPLYWRITER_H
