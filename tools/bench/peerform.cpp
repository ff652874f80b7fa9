// The peer of the updater's start-up: a Qt 6 program that loads the updater's libraries and
// builds its one window, a line of text, from a form in its resources with QUiLoader at run
// time, as the updater builds its windows. Like the updater it runs until the window watcher
// ends it once the window is on screen.

#include <QApplication>
#include <QFile>
#include <QUiLoader>
#include <QWidget>

#include <memory>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QFile file(QStringLiteral(":/peerform.ui"));
    if (!file.open(QIODevice::ReadOnly))
        return 1;
    // Without the designer plug-ins installed on the machine, as the updater loads its forms:
    // the peer pays for the libraries, not for plug-ins neither of them uses.
    const QStringList libraryPaths = QCoreApplication::libraryPaths();
    QCoreApplication::setLibraryPaths({});
    QUiLoader loader;
    QCoreApplication::setLibraryPaths(libraryPaths);
    const std::unique_ptr<QWidget> window(loader.load(&file));
    if (!window)
        return 1;
    window->show();
    return app.exec();
}
