// Preloaded into a Qt program: once its first top-level window has been exposed and painted,
// writes the monotonic time and the window's name to $VORN_BENCH_SHOWN_FILE and ends the
// process at once, so that what is measured ends with the window on screen. Answers nothing
// and polls nothing, so it adds no delay of its own.

#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QTimer>
#include <QWindow>

#include <stdlib.h>
#include <time.h>
#include <unistd.h>

namespace {

void stampAndExit(const QString &name)
{
    timespec stamp;
    clock_gettime(CLOCK_MONOTONIC, &stamp);
    QFile file(QString::fromLocal8Bit(qgetenv("VORN_BENCH_SHOWN_FILE")));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        file.write(QByteArray::number(qlonglong(stamp.tv_sec) * 1000000000LL + stamp.tv_nsec) + '\t'
                   + name.toUtf8() + '\n');
        file.close();
    }
    ::_exit(0);
}

class ShownWatcher : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::Expose || done)
            return false;
        auto *window = qobject_cast<QWindow *>(watched);
        if (!window || !window->isTopLevel())
            return false;
        done = true;
        // The widget paints while it handles the exposure; the stamp follows the painting.
        const QString name = window->objectName();
        QTimer::singleShot(0, this, [name] { stampAndExit(name); });
        return false;
    }

private:
    bool done = false;
};

void startWatcher()
{
    QCoreApplication::instance()->installEventFilter(
        new ShownWatcher(QCoreApplication::instance()));
}

__attribute__((constructor)) void registerWatcher()
{
    // Programs that the watched one starts (the messenger) must not load the watcher too.
    ::unsetenv("LD_PRELOAD");
    qAddPreRoutine(startWatcher);
}

} // namespace
