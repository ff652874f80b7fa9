#ifndef BACKGROUNDJOB_H
#define BACKGROUNDJOB_H

#include <QObject>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>

// Work that must not hold up the windows: a function run in a thread of its own, which it
// passes a flag to stop at; done() follows on this object's thread once it has ended. Going
// away cancels the work and waits for it.
class BackgroundJob : public QObject
{
    Q_OBJECT

public:
    using Work = std::function<void(const std::atomic_bool &cancelled)>;

    explicit BackgroundJob(QObject *parent = nullptr);
    ~BackgroundJob() override;

    // Starts the work; one that still runs is cancelled and waited for first.
    void start(const Work &work);
    // Tells the work to stop at its next look at the flag.
    void cancel() { cancelled = true; }

signals:
    void done();

private:
    void finish();

    std::unique_ptr<QThread> thread;
    std::atomic_bool cancelled {false};
};

#endif // BACKGROUNDJOB_H
