#include "testinstallation.h"

#include "startup.h"

#include <QCoreApplication>
#include <QProcessEnvironment>

Installation testInstallation()
{
    return Startup::installationOf(QCoreApplication::arguments());
}

RunSettings testSettings()
{
    return Startup::settingsOf(QProcessEnvironment::systemEnvironment());
}
