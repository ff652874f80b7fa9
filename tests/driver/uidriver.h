#ifndef UIDRIVER_H
#define UIDRIVER_H

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QSet>
#include <QStringList>
#include <QTimer>

class QMessageBox;
class QWidget;

// Drives a running updater from the inside: answers its message boxes, presses the buttons of
// its windows and saves pictures of them, as scripted in the environment, and writes what it
// saw to a log. Loaded with LD_PRELOAD by the tests of the executable and by the demo.
//
//   VORN_DRIVER_LOG    file that receives one line per box, window, click and settled size
//   VORN_DRIVER_BOXES  comma-separated answers for successive boxes (Ok, Abort, Retry, ...);
//                      further boxes are answered with their escape button
//   VORN_DRIVER_CLICKS comma-separated object names of buttons to press, in order, each as
//                      soon as it is visible and enabled and the windows have kept their
//                      sizes for a moment (a window manager resizes after the event loop)
//   VORN_DRIVER_SHOTS  directory that receives a PNG of every window once it is shown
class UiDriver : public QObject
{
    Q_OBJECT

public:
    explicit UiDriver(QObject *parent = nullptr);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void poll();
    // Logs the windows that appeared since; returns the first message box shown, if any.
    QMessageBox *lookAround();
    void answer(QMessageBox *box);
    void look(QWidget *window);
    void write(const QStringList &fields);

    QTimer timer;
    QFile log;
    QStringList boxAnswers;
    QStringList clicks;
    QString shotDir;
    QSet<QWidget *> seen;
    QSet<QWidget *> resized;
    QElapsedTimer sinceChange;
};

#endif // UIDRIVER_H
