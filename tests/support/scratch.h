#ifndef SCRATCH_H
#define SCRATCH_H

#include <QString>
#include <QTemporaryDir>

// A scratch area: the directory the code works in, and a directory outside it that links
// planted inside point to. Nothing may ever change outside.
struct Scratch
{
    Scratch();
    bool plantLink(const QString &at, const QString &target) const;

    QTemporaryDir temp;
    QString inside;
    QString outside;
    bool ready = false;
};

#endif // SCRATCH_H
