#include "windowform.h"

#include <QCoreApplication>
#include <QFile>
#include <QMessageBox>
#include <QMetaObject>
#include <QUiLoader>

WindowForm::WindowForm(const QString &resourcePath)
    : path(resourcePath)
{
    QFile file(resourcePath);
    if (!file.open(QIODevice::ReadOnly))
        return;
    QUiLoader loader;
    root = loader.load(&file);
    file.close();
}

void WindowForm::refuse(QObject *controller)
{
    const QString what = root ? missing.join(QStringLiteral(", ")) : path;
    QMessageBox::critical(nullptr,
                          QCoreApplication::translate("translation", "Update", "program update"),
                          QCoreApplication::translate("translation",
                                                      "The updater is damaged and cannot show "
                                                      "its window (%1 is missing).",
                                                      "nc")
                              .arg(what));
    delete root;
    root = nullptr;
    controller->deleteLater();
    // Queued, so that it also ends a run whose event loop has not started yet.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [] { QCoreApplication::exit(1); }, Qt::QueuedConnection);
}
