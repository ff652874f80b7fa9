#include "testinstallation.h"

#include "startup.h"

#include <QCoreApplication>

Installation testInstallation()
{
    return Startup::installationOf(QCoreApplication::arguments());
}
