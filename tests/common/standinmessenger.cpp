#include "standinmessenger.h"

#include "testfiles.h"

#include <QCoreApplication>

namespace StandInMessenger {

QString path()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/vorn");
}

bool write(const QByteArray &script)
{
    return writeFile(path(), "#!/bin/sh\n" + script + '\n', 0700);
}

} // namespace StandInMessenger
