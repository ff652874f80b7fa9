#include "scratch.h"

#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

Scratch::Scratch()
    : inside(temp.filePath("inside"))
    , outside(temp.filePath("outside"))
{
    ready = temp.isValid() && QDir().mkpath(inside) && QDir().mkpath(outside + "/dir")
        && writeFile(outside + "/victim", "outside bytes");
}

bool Scratch::plantLink(const QString &at, const QString &target) const
{
    QDir().mkpath(QFileInfo(at).path());
    return QFile::link(target, at);
}
