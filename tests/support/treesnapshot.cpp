#include "treesnapshot.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

TreeSnapshot TreeSnapshot::take(const QString &root)
{
    TreeSnapshot snapshot;
    const QDir base(root);
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        Entry entry;
        entry.permissions = info.permissions();
        if (info.isSymLink()) {
            entry.kind = Entry::Link;
            entry.content = info.symLinkTarget().toUtf8();
        } else if (info.isDir()) {
            entry.kind = Entry::Directory;
        } else if (!info.isFile()) {
            entry.kind = Entry::Special;
        } else {
            entry.kind = Entry::File;
            QFile file(path);
            if (file.open(QIODevice::ReadOnly))
                entry.content = file.readAll();
        }
        snapshot.items.insert(base.relativeFilePath(path), entry);
    }
    return snapshot;
}

void TreeSnapshot::removeBelow(const QString &relativePath)
{
    if (relativePath.isEmpty())
        return;
    items.removeIf([&relativePath](const auto &item) {
        return item.key() == relativePath || item.key().startsWith(relativePath + QLatin1Char('/'));
    });
}

QString TreeSnapshot::differences(const TreeSnapshot &other) const
{
    QStringList lines;
    for (auto it = items.cbegin(); it != items.cend(); ++it) {
        if (!other.items.contains(it.key()))
            lines << QStringLiteral("only before: ") + it.key();
        else if (other.items.value(it.key()) != it.value())
            lines << QStringLiteral("changed: ") + it.key();
    }
    for (auto it = other.items.cbegin(); it != other.items.cend(); ++it) {
        if (!items.contains(it.key()))
            lines << QStringLiteral("only after: ") + it.key();
    }
    return lines.join(QLatin1Char('\n'));
}

QMap<QString, QByteArray> TreeSnapshot::fileContents() const
{
    QMap<QString, QByteArray> files;
    for (auto entry = items.cbegin(); entry != items.cend(); ++entry) {
        if (entry->kind == Entry::File)
            files.insert(entry.key(), entry->content);
    }
    return files;
}
