#ifndef QUERYPARSER_H
#define QUERYPARSER_H

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
    enum Status { Incomplete, Complete, TooLarge };

    explicit QueryParser(qsizetype maximumSize)
        : maximumSize(maximumSize)
    { }

    Status append(const QByteArray &bytes);
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
    Status state = Incomplete;
};

#endif // QUERYPARSER_H
