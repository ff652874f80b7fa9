#include "fontconfigpreloader.h"
#include "startup.h"
#include "terminationwatcher.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // A session that ends while the updater starts must not kill it halfway.
    TerminationWatcher::catchSignals();
    // Declared first, so that its thread is joined after everything else has ended.
    FontconfigPreloader fonts;
    QApplication app(argc, argv);
    return Startup::run(app, fonts);
}
