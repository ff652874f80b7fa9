#include "standinmessenger.h"

#include <QCoreApplication>
#include <QFile>

namespace StandInMessenger {

QString path()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/vorn");
}

bool write(const QByteArray &script)
{
    QFile file(path());
    const QByteArray text = "#!/bin/sh\n" + script + '\n';
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size()
        && file.flush()
        && file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

} // namespace StandInMessenger
