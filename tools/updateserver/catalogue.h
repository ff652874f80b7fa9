#ifndef CATALOGUE_H
#define CATALOGUE_H

#include <QHash>
#include <QString>
#include <QStringList>
#include <QVersionNumber>

#include <map>
#include <tuple>

class QXmlStreamReader;

// One published version of a component: reply child element name -> text.
struct CatalogueEntry
{
    QString project;
    QString name;
    QString type;
    QVersionNumber version; // normalized, for comparisons only
    QHash<QString, QString> fields;
};

// The published components, read from a catalogue file; the newest entry of each counts.
class Catalogue
{
public:
    bool load(const QString &fileName);
    QString errorString() const { return error; }
    int size() const { return int(entries.size()); }

    const CatalogueEntry *find(const QString &project, const QString &name,
                               const QString &type) const;

    // Children of a full reply request, in reply order; the last three only when published.
    static const QStringList &fieldNames();

private:
    bool readEntry(QXmlStreamReader &xml);
    bool fail(const QXmlStreamReader &xml, const QString &message);

    std::map<std::tuple<QString, QString, QString>, CatalogueEntry> entries;
    QString fileName;
    QString error;
};

#endif // CATALOGUE_H
