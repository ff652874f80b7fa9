#include "shownwindow.h"

#include <QApplication>
#include <QWidget>

QWidget *shownWindow(const QString &name)
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == name && widget->isVisible())
            return widget;
    }
    return nullptr;
}
