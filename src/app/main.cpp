#include "fontconfigpreloader.h"
#include "startup.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // Declared first, so that its thread is joined after everything else has ended.
    const FontconfigPreloader fonts;
    QApplication app(argc, argv);
    return Startup::run(app);
}
