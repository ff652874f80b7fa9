#ifndef REPLYWRITER_H
#define REPLYWRITER_H

#include "catalogue.h"
#include "digest.h"

#include <QByteArray>
#include <QString>

class QueryParser;
struct CatalogueEntry;
struct CataloguePatch;
struct QueriedComponent;

// Answers each queried component from the catalogue: a full request when a newer version is
// published, "latest" when not, "noSuchComponent" when the component is unknown. Then it offers,
// each in a full request, the components that the catalogue offers to all of a project the
// query names, unless the query names them. The reply is handed out piece by piece, as the
// client takes it, and made from the query as it goes: a client that reads slowly, or not at
// all, costs no more than the query and one piece; a reply of one piece or less is made whole
// as it is measured, so that it is made once. A signed reply is hashed as it goes and ends with
// its signature for the query and the nonce in front of it: once every byte before the
// signature is read, the writer awaits it (see statement()).
class ReplyWriter
{
public:
    // Told what is offered for each component the catalogue has, once per reply: the entry
    // (null when none is) and the rollout decision that chose it.
    class OfferCounter
    {
    public:
        virtual void offered(const QString &component, const CatalogueEntry *entry,
                             Rollout::Decision decision)
            = 0;

    protected:
        ~OfferCounter() = default;
    };

    enum Status {
        Ready,
        TooManyComponents,
        // The same project, name and type twice: each would be answered whole, so a short
        // query could ask for a large reply.
        ComponentNamedTwice,
        TooLarge, // more than the updater accepts
    };

    // Both must outlive the writer; the query must be complete. The audience's position is the
    // query's.
    ReplyWriter(const Catalogue &catalogue, const QueryParser &query, int maximumComponents,
                bool signedReply = false, RolloutAudience audience = {},
                OfferCounter *counter = nullptr);

    Status status() const { return state; }
    // The query's components, up to the first beyond the maximum, and the reply's bytes.
    int componentCount() const { return components; }
    qint64 size() const { return total; }
    // The next piece, of `bytes` unless it is the last or the signature is awaited; empty
    // after the last.
    QByteArray read(qsizetype bytes);
    bool atEnd() const { return written == total; }
    // What the reply key signs, once every byte before the signature has been read; empty
    // before.
    QByteArray statement() const { return pendingStatement; }
    bool awaitsSignature() const { return !pendingStatement.isEmpty() && signature.isEmpty(); }
    // The rest of the reply follows.
    void setSignature(const QByteArray &bytes) { signature = bytes; }
    // What was asked and answered, for the log.
    QString summary() const;

    // The parts of a full request that come from the catalogue, which keeps them written.
    static QByteArray requestChildren(const CatalogueEntry &entry);
    static QByteArray patchElement(const CataloguePatch &patch);

private:
    // The parts of the reply that follow those handed out; false after the last.
    bool takeNextParts();

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
    // The components offered unasked, and the next to be taken.
    QList<const CatalogueEntry *> offers;
    qsizetype nextOffer = 0;
    // What was asked and answered of the first components, for the log; then how many more.
    QString answers;
    int listedCount = 0;
    int unlisted = 0;
    bool signedReply;
    RolloutAudience audience;
    OfferCounter *counter;
    // Of the reply without its signature, and last of the query.
    Digest::Hash hash;
    QByteArray pendingStatement;
    QByteArray signature;
};

#endif // REPLYWRITER_H
