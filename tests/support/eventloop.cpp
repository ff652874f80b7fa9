#include "eventloop.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QTimer>
#include <QWidget>
#include <QWindow>

int runEventLoop()
{
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, qApp, [] { QCoreApplication::exit(99); });
    guard.start(20000);
    return QCoreApplication::exec();
}

void settle()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void closeByWindowManager(QWidget *window)
{
    QTimer::singleShot(0, window->windowHandle(), [handle = window->windowHandle()] {
        QCloseEvent close;
        QCoreApplication::sendEvent(handle, &close);
    });
}
