#include "windowform.h"

#include "formloader.h"
#include "translated.h"

#include <QCoreApplication>
#include <QFile>
#include <QMessageBox>
#include <QMetaObject>

WindowForm::WindowForm(const QString &resourcePath, std::function<void()> beforeText)
    : path(resourcePath)
{
    QFile file(resourcePath);
    if (!file.open(QIODevice::ReadOnly)) {
        // Its message box shows text.
        if (beforeText)
            beforeText();
        return;
    }
    // The forms hold standard widgets and a PNG, which Qt reads itself. With the library paths
    // set, a loader loads every designer plug-in installed on the machine (Qt Quick's among
    // them), and the window icon every image format plug-in, each asked whether it reads the
    // PNG: together a fifth of the start-up to the first window. The style that the plug-in
    // paths could change was made with the application.
    const QStringList libraryPaths = QCoreApplication::libraryPaths();
    QCoreApplication::setLibraryPaths({});
    FormLoader loader(std::move(beforeText));
    root = loader.load(&file);
    QCoreApplication::setLibraryPaths(libraryPaths);
    file.close();
    loader.textFollows();
}

void WindowForm::show(QObject *controller)
{
    deleteWith(controller);
    root->show();
}

void WindowForm::deleteWith(QObject *controller)
{
    QObject::connect(root, &QObject::destroyed, controller, &QObject::deleteLater);
    root->setAttribute(Qt::WA_DeleteOnClose);
}

void WindowForm::refuse(QObject *controller)
{
    const QString what = root ? missing.join(QStringLiteral(", ")) : path;
    QMessageBox::critical(nullptr, translated("Update", "program update"),
                          translated("The updater is damaged and cannot show "
                                     "its window (%1 is missing).")
                              .arg(what));
    delete root;
    root = nullptr;
    controller->deleteLater();
    // Queued, so that it also ends a run whose event loop has not started yet.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [] { QCoreApplication::exit(1); }, Qt::QueuedConnection);
}
