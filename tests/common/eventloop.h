#ifndef EVENTLOOP_H
#define EVENTLOOP_H

#include <QString>

class QWidget;

// Runs the application's event loop until the last window closes or the run quits, as a
// person's run does; returns the exit code, 99 when neither happened within 20 s.
int runEventLoop();

// Lets closed windows and their controllers go, as the event loop would.
void settle();

// The visible top-level window of that object name, or null.
QWidget *shownWindow(const QString &name);

#endif // EVENTLOOP_H
