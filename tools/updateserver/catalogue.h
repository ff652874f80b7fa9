#ifndef CATALOGUE_H
#define CATALOGUE_H

#include "rollout.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVersionNumber>

#include <map>
#include <optional>
#include <tuple>
#include <utility>

class QXmlStreamReader;

// A patch package of a published version, for installations of one older version.
struct CataloguePatch
{
    QVersionNumber from; // normalized, for comparisons only
    // Attribute name -> value, as the reply's patch element carries them.
    QHash<QString, QString> attributes;
    // The element as the reply carries it, written once at load.
    QByteArray element;
    qint64 line = 0; // of the element in the catalogue file
};

// One published version of a component: reply child element name -> text.
struct CatalogueEntry
{
    QString project;
    QString name;
    QString type;
    QVersionNumber version; // normalized, for comparisons only
    QHash<QString, QString> fields;
    QList<CataloguePatch> patches;
    // The children of a full request as the reply carries them, written once at load.
    QByteArray children;
    // Offered also to queries that name a component of its project but not this one.
    bool offeredToAll = false;
    // Offered to a share of the installations only, while the rollout is under way.
    std::optional<Rollout> rollout;
    qint64 line = 0; // of the element in the catalogue file
    // The characters of the file's text from the end of what precedes the element (blanks and
    // comments before it included) to the end of the element.
    std::pair<qint64, qint64> span;
};

// Who asks: the rollout position the query carried, when it carried one, the time, and the
// entries whose rollout the server halted.
struct RolloutAudience
{
    std::optional<int> position;
    qint64 now = 0;
    QSet<const CatalogueEntry *> halted;
};

// The published components, read from a catalogue file; the newest entry of each counts, unless
// it is staged and the installation is outside its rollout. Its texts stay within what the
// updater accepts of a reply (ReplyLimits).
class Catalogue
{
public:
    Catalogue() = default;
    // The offers point into the entries.
    Q_DISABLE_COPY_MOVE(Catalogue)

    bool load(const QString &fileName);
    QString errorString() const { return error; }
    int size() const { return int(entries.size()); }
    // Every entry, in the order of the file: the published versions, old ones included.
    const QList<CatalogueEntry> &listed() const { return all; }

    const CatalogueEntry *find(const QString &project, const QString &name,
                               const QString &type) const;
    // The entry offered to that audience: the newest one whose rollout it is inside, or that
    // is under no rollout still under way. Null when there is none; *decision says what the
    // newest staged entry decided (None without one, and for an unknown component).
    const CatalogueEntry *offerFor(const QString &project, const QString &name, const QString &type,
                                   const RolloutAudience &audience,
                                   Rollout::Decision *decision) const;
    // The published entry of that version.
    const CatalogueEntry *findVersion(const QString &project, const QString &name,
                                      const QString &type, const QVersionNumber &version) const;
    // The components offered to all of their project, in the order they first appear in.
    const QList<const CatalogueEntry *> &offers() const { return offered; }

    // Children of a full reply request, in reply order; the last three only when published.
    static const QStringList &fieldNames();
    // Attributes of a patch element, in reply order; "from" and "link" always there.
    static const QStringList &patchAttributes();

private:
    bool readEntry(QXmlStreamReader &xml, qint64 begin);
    bool readPatch(QXmlStreamReader &xml, CatalogueEntry *entry);
    bool checkLength(qint64 line, const QString &what, const QString &text, qsizetype maximum);
    bool fail(const QXmlStreamReader &xml, const QString &message);
    bool fail(qint64 line, const QString &message);

    using Key = std::tuple<QString, QString, QString>;
    // Each component's entries, the newest first.
    std::map<Key, QList<CatalogueEntry>> entries;
    QList<CatalogueEntry> all;
    // Each component once, in the order it first appears in.
    QList<Key> order;
    QList<const CatalogueEntry *> offered;
    QString fileName;
    QString error;
};

#endif // CATALOGUE_H
