#ifndef STARTUP_H
#define STARTUP_H

#include "installation.h"
#include "runsettings.h"

#include <QStringList>

#include <functional>

class FontconfigPreloader;
class QApplication;
class QProcessEnvironment;

namespace Startup {

// Where this run works, from its command line and environment: the one place that reads them.
Installation installationOf(const QStringList &arguments);

// What the build and this environment set for the run: the one place that reads them.
RunSettings settingsOf(const QProcessEnvironment &environment);

// True when an argument after the program name is exactly "-q".
bool isQuietMode(const QStringList &arguments);

// True when one of the messenger's private Qt libraries in qt_libs/ is a symbolic link;
// the user has then been told.
bool privateQtIsBroken(const QString &applicationDir);

// Runs body; an exception that escapes it is shown (std::exception) or swallowed, and
// gives exit code 1.
int guarded(const std::function<int()> &body);

// The whole run after the application object exists; returns the exit code.
int run(QApplication &app, FontconfigPreloader &fonts);

} // namespace Startup

#endif // STARTUP_H
