#include "installation.h"

#include <QFileInfo>

Installation Installation::fromCommandLine(const QStringList &commandLine, const QString &program,
                                           const QString &homeDir, const QString &downloadDir)
{
    Installation installation {QFileInfo(program).absolutePath(),
                               QString(),
                               homeDir,
                               downloadDir,
                               program,
                               commandLine.mid(1),
                               QString()};
    const qsizetype option = commandLine.indexOf(QLatin1String("-root"));
    if (option >= 0 && option + 1 < commandLine.size())
        installation.root = commandLine.at(option + 1);
    return installation;
}

bool Installation::hasRoot() const
{
    return !root.isNull() && QFileInfo::exists(root + QLatin1String("/vorn"));
}

QString Installation::directoryFor(const QString &type) const
{
    if (type == QLatin1String("plugin"))
        return pluginDir();
    if (type == QLatin1String("app") && hasRoot())
        return root;
    return QString();
}
