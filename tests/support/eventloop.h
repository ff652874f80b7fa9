#ifndef EVENTLOOP_H
#define EVENTLOOP_H

class QWidget;

// Runs the application's event loop until the last window closes or the run quits, as a
// person's run does; returns the exit code, 99 when neither happened within 20 s.
int runEventLoop();

// Lets closed windows and their controllers go, as the event loop would.
void settle();

// Closes the window as the window manager does, with the platform's close event, once the
// event loop runs.
void closeByWindowManager(QWidget *window);

#endif // EVENTLOOP_H
