#ifndef EVENTLOOP_H
#define EVENTLOOP_H

// Runs the application's event loop until the last window closes or the run quits, as a
// person's run does; returns the exit code, 99 when neither happened within 20 s.
int runEventLoop();

// Lets closed windows and their controllers go, as the event loop would.
void settle();

#endif // EVENTLOOP_H
