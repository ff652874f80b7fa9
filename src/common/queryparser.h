#ifndef QUERYPARSER_H
#define QUERYPARSER_H

#include "failure.h"

#include <QByteArray>
#include <QList>
#include <QString>

struct QueriedComponent
{
    QString project;
    QString name;
    QString type;
    QString version;
};

// An update query as it arrives at the update server, or as the updater cut it from the
// messenger's output. The query has no framing: it is complete once a "</s>" follows the
// first "<s>".
class QueryParser
{
public:
    explicit QueryParser(qsizetype maximumSize)
        : maximumSize(maximumSize)
    { }

    // Takes the next bytes. A failure once the bytes pass the maximum size before the query is
    // complete; the parser then takes no more and stays failed.
    Failure append(const QByteArray &bytes);
    bool isComplete() const { return complete; }
    // The component elements of a complete query, in query order.
    QList<QueriedComponent> components() const;
    // The same one at a time, for a reader that must not hold them all: the next component
    // from `position` (0 for the first) on, and the position after it; false after the last.
    bool nextComponent(qsizetype *position, QueriedComponent *component) const;
    // A complete query's bytes from its "<s>" through its "</s>", and what came before it.
    QByteArray query() const;
    QByteArray prefix() const;

private:
    // Once the query is complete, it holds only the query, from "<s>" to "</s>", and before
    // what came before it.
    QByteArray buffer;
    QByteArray before;
    qsizetype maximumSize;
    qsizetype begin = -1;
    bool complete = false;
    Failure tooLarge;
};

#endif // QUERYPARSER_H
