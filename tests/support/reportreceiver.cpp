#include "reportreceiver.h"

#include <QDeadlineTimer>
#include <QMutexLocker>
#include <QTcpServer>
#include <QTcpSocket>

#include <poll.h>
#include <sys/socket.h>

ReportReceiver::ReportReceiver(bool accepting, QObject *parent)
    : QThread(parent)
    , accepting(accepting)
{ }

ReportReceiver::~ReportReceiver()
{
    stopping.storeRelaxed(1);
    wait();
}

bool ReportReceiver::listen()
{
    start();
    started.acquire();
    return listening;
}

QList<QByteArray> ReportReceiver::reports(int count, int timeoutMs)
{
    if (received.tryAcquire(count, timeoutMs))
        received.release(count);
    QMutexLocker lock(&mutex);
    return documents;
}

void ReportReceiver::run()
{
    QTcpServer server;
    listening = server.listen(QHostAddress::LocalHost, 443);
    started.release();
    while (listening && !stopping.loadRelaxed()) {
        if (!server.waitForNewConnection(50))
            continue;
        QTcpSocket *socket = server.nextPendingConnection();
        // Read and written raw: Qt closes a socket whose peer half-closed it.
        take(int(socket->socketDescriptor()));
        socket->abort();
        delete socket;
    }
}

void ReportReceiver::take(int descriptor)
{
    QByteArray bytes;
    const QDeadlineTimer deadline(5000);
    char buffer[4096];
    pollfd wanted {descriptor, POLLIN, 0};
    while (!deadline.hasExpired() && ::poll(&wanted, 1, int(deadline.remainingTime())) > 0) {
        const ssize_t count = ::recv(descriptor, buffer, sizeof buffer, 0);
        if (count <= 0)
            break;
        bytes.append(buffer, count);
        if (!bytes.startsWith(QByteArray("<report").left(bytes.size()))) {
            otherConnections.fetchAndAddRelaxed(1);
            return;
        }
    }
    if (!bytes.startsWith("<report")) {
        otherConnections.fetchAndAddRelaxed(1);
        return;
    }
    if (accepting)
        ::send(descriptor, "<ok/>", 5, MSG_NOSIGNAL);
    QMutexLocker lock(&mutex);
    documents.append(bytes);
    received.release();
}
