#ifndef REPORTRECEIVER_H
#define REPORTRECEIVER_H

#include <QAtomicInt>
#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QSemaphore>
#include <QThread>

// The update server's side of install reports on 127.0.0.1:443, in a thread of its own: it
// takes each connection's bytes up to the sender's half-close and answers "<ok/>" (or closes
// without a word when told to refuse). A connection that does not begin with a report, such as
// an update check's, is closed at once, as a server without an answer for it would.
class ReportReceiver : public QThread
{
    Q_OBJECT

public:
    explicit ReportReceiver(bool accepting = true, QObject *parent = nullptr);
    ~ReportReceiver() override;

    // Starts the thread and listens; false when the port cannot be bound.
    bool listen();
    // Waits until that many reports have come, and returns those received.
    QList<QByteArray> reports(int count = 0, int timeoutMs = 10000);
    // The connections that were no report.
    int others() const { return otherConnections.loadRelaxed(); }

protected:
    void run() override;

private:
    void take(int descriptor);

    const bool accepting;
    bool listening = false;
    QSemaphore started;
    QSemaphore received;
    QAtomicInt stopping;
    QAtomicInt otherConnections;
    QMutex mutex;
    QList<QByteArray> documents;
};

#endif // REPORTRECEIVER_H
