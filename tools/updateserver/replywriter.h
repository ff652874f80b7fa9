#ifndef REPLYWRITER_H
#define REPLYWRITER_H

#include <QByteArray>
#include <QList>
#include <QStringList>

class Catalogue;
struct QueriedComponent;

// Answers each queried component from the catalogue: a full request when a newer version is
// published, "latest" when not, "noSuchComponent" when the component is unknown.
class ReplyWriter
{
public:
    explicit ReplyWriter(const Catalogue &catalogue)
        : catalogue(catalogue)
    { }

    QByteArray write(const QList<QueriedComponent> &components);
    // What was asked and answered, for the log.
    QString summary() const;

private:
    const Catalogue &catalogue;
    QStringList answers;
};

#endif // REPLYWRITER_H
