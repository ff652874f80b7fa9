#include "proxyprocess.h"

#include "testfiles.h"

#include <QDeadlineTimer>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QThread>

ProxyProcess::~ProxyProcess()
{
    process.kill();
    process.waitForFinished();
}

bool ProxyProcess::start(quint16 port, Rules rules)
{
    QByteArray config = "Port " + QByteArray::number(port)
        + "\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\nLogLevel Connect\nLogFile \""
        + QFile::encodeName(scratch.filePath("log")) + "\"\nConnectPort "
        + (rules == NoConnect ? "8443" : "443") + '\n';
    if (rules == AsksPassword)
        config += "BasicAuth vorn secret\n";
    if (!scratch.isValid() || !writeFile(scratch.filePath("conf"), config))
        return false;
    if (rules == AsksPasswordAndCloses)
        process.start(
            QStringLiteral("python3"),
            {QStringLiteral(VORN_CLOSING_PROXY), QString::number(port), scratch.filePath("log")});
    else
        process.start(QStringLiteral("tinyproxy"), {"-d", "-c", scratch.filePath("conf")});
    if (!process.waitForStarted())
        return false;
    for (QDeadlineTimer deadline(5000); !deadline.hasExpired(); QThread::msleep(20)) {
        QTcpSocket probe;
        probe.connectToHost(QStringLiteral("127.0.0.1"), port);
        if (probe.waitForConnected(200))
            return true;
    }
    return false;
}

QStringList ProxyProcess::requests() const
{
    static const QRegularExpression line(
        QStringLiteral("Request \\(file descriptor \\d+\\): (.*)$"));
    QStringList found;
    const QList<QByteArray> lines = readFile(scratch.filePath("log")).split('\n');
    for (const QByteArray &text : lines) {
        const QRegularExpressionMatch match = line.match(QString::fromLatin1(text.trimmed()));
        if (match.hasMatch())
            found << match.captured(1);
    }
    return found;
}
