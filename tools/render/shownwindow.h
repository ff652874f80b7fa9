#ifndef SHOWNWINDOW_H
#define SHOWNWINDOW_H

#include <QString>

class QWidget;

// The visible top-level window of that object name, or null.
QWidget *shownWindow(const QString &name);

#endif // SHOWNWINDOW_H
