#ifndef WINDOWPROBE_H
#define WINDOWPROBE_H

#include <QDir>
#include <QObject>

class QWidget;

// Records what the updater's windows show, for the end-to-end test and the demo. Loaded with
// LD_PRELOAD beside the driver, it watches the windows from an application event filter, so it
// sees every window as it is shown and hidden, even one that is gone before the event loop
// runs again (the install window of a successful run). In VORN_PROBE_DIR it writes
//
//   windows.log            "shown NAME" and "hidden NAME" for every window, in order
//   shown/CHILD.txt        the text of each label, button, text pane and progress bar named
//   hidden/CHILD.txt       "Updater_..." in that window, as it was shown and as it was hidden
//   platform.txt           the Qt platform that showed them (xcb, wayland, ...)
class WindowProbe : public QObject
{
    Q_OBJECT

public:
    explicit WindowProbe(const QString &directory, QObject *parent = nullptr);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void record(QWidget *window, const QString &moment);

    QDir dir;
    bool platformRecorded = false;
};

#endif // WINDOWPROBE_H
