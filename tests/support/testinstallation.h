#ifndef TESTINSTALLATION_H
#define TESTINSTALLATION_H

#include "installation.h"
#include "runsettings.h"

class RunPrompter;

// Where a run in this test process works, taken as the updater takes it from its command line
// and environment, as they stand now: TMPDIR and HOME as the test set them, "-root" as
// QCoreApplication::arguments() holds it.
Installation testInstallation();
// What the updater's entry point sets for a run, from the build and the environment as it
// stands now; tests change the bounds they need.
RunSettings testSettings();

// The updater's own message boxes, which a MessageBoxAnswerer answers as a user would.
RunPrompter &testPrompter();

#endif // TESTINSTALLATION_H
