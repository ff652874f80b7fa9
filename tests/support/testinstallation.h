#ifndef TESTINSTALLATION_H
#define TESTINSTALLATION_H

#include "installation.h"

class RunPrompter;

// Where a run in this test process works, taken as the updater takes it from its command line
// and environment, as they stand now: TMPDIR and HOME as the test set them, "-root" as
// QCoreApplication::arguments() holds it.
Installation testInstallation();

// The updater's own message boxes, which a MessageBoxAnswerer answers as a user would.
RunPrompter &testPrompter();

#endif // TESTINSTALLATION_H
