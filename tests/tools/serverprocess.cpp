#include "serverprocess.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>
#include <QThread>

#include <csignal>

ServerProcess::ServerProcess(const QStringList &arguments, const QString &logFile)
    : logFile(logFile)
{
    process.setReadChannel(QProcess::StandardError);
    if (!logFile.isEmpty())
        process.setStandardErrorFile(logFile, QIODevice::Append);
    const bool ownKey = arguments.contains(QStringLiteral("--reply-key"));
    process.start(QStringLiteral(SERVER_EXE),
                  ownKey || !QFile::exists(buildReplyKey())
                      ? arguments
                      : arguments + QStringList {QStringLiteral("--reply-key"), buildReplyKey()});
}

ServerProcess::~ServerProcess()
{
    process.kill();
    process.waitForFinished();
}

bool ServerProcess::waitForListening()
{
    if (!waitForLog("\n"))
        return false;
    const QRegularExpressionMatch match
        = QRegularExpression(QStringLiteral("listening on \\S+:(\\d+),"))
              .match(QString::fromUtf8(errorOutput));
    listeningPort = match.captured(1).toUShort();
    return match.hasMatch();
}

bool ServerProcess::waitForLog(const QByteArray &text, int timeoutMs, qsizetype times)
{
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        if (!readLog())
            return false;
        if (errorOutput.count(text) >= times)
            return true;
        if (logFile.isEmpty()) {
            if (!process.waitForReadyRead(int(deadline.remainingTime())))
                return false;
        } else if (deadline.hasExpired()) {
            return false;
        } else {
            QThread::msleep(20);
        }
    }
}

// A shared file is read whole each time, with the other servers' lines.
bool ServerProcess::readLog()
{
    if (logFile.isEmpty()) {
        errorOutput += process.readAllStandardError();
        return true;
    }
    QFile file(logFile);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    errorOutput = file.readAll();
    return true;
}

int ServerProcess::waitForExitCode()
{
    if (!process.waitForFinished(10000) || !readLog())
        return -1;
    return process.exitCode();
}

void ServerProcess::signal(int number)
{
    ::kill(pid_t(process.processId()), number);
}
