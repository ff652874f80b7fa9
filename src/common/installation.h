#ifndef INSTALLATION_H
#define INSTALLATION_H

#include <QString>
#include <QStringList>

// Where one run of the updater works. The entry point takes it once from the command line and
// the environment and hands it down: nothing below the entry point looks at those itself.
struct Installation
{
    // The updater's own directory, which holds the messenger and its fix-up script.
    QString applicationDir;
    // The messenger's application directory after the first "-root"; null without one.
    QString root;
    QString homeDir;
    QString downloadDir;
    // The updater and its arguments, for a run to start the next one.
    QString program;
    QStringList arguments;
    // The session's runtime directory ($XDG_RUNTIME_DIR); empty without one.
    QString runtimeDir;

    // commandLine: the whole command line, the program first; program: the updater's file.
    static Installation fromCommandLine(const QStringList &commandLine, const QString &program,
                                        const QString &homeDir, const QString &downloadDir);

    QString messenger() const { return applicationDir + QLatin1String("/vorn"); }
    QString fixScript() const { return applicationDir + QLatin1String("/fix.sh"); }
    // The user's plug-in directory, with its trailing separator.
    QString pluginDir() const { return homeDir + QLatin1String("/.Vorn/plugins/"); }
    // Whether -root names a directory that holds the messenger.
    bool hasRoot() const;
    // The directory a package of that type installs into: the root for "app" while it holds
    // the messenger, the plug-in directory for "plugin"; null otherwise.
    QString directoryFor(const QString &type) const;
};

#endif // INSTALLATION_H
