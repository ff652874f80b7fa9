#include "testinstallation.h"

#include "messageboxprompter.h"
#include "startup.h"

#include <QCoreApplication>
#include <QProcessEnvironment>

Installation testInstallation()
{
    return Startup::installationOf(QCoreApplication::arguments());
}

RunPrompter &testPrompter()
{
    // Holds nothing, so one serves every engine of the process.
    static MessageBoxPrompter prompter;
    return prompter;
}

RunSettings testSettings()
{
    return Startup::settingsOf(QProcessEnvironment::systemEnvironment());
}
