#include "serverprocess.h"

#include <QFile>
#include <QRegularExpression>

#include <csignal>

ServerProcess::ServerProcess(const QStringList &arguments)
{
    process.setReadChannel(QProcess::StandardError);
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
    for (;;) {
        errorOutput += process.readAllStandardError();
        if (errorOutput.count(text) >= times)
            return true;
        if (!process.waitForReadyRead(timeoutMs))
            return false;
    }
}

int ServerProcess::waitForExitCode()
{
    if (!process.waitForFinished(10000))
        return -1;
    errorOutput += process.readAllStandardError();
    return process.exitCode();
}

void ServerProcess::signal(int number)
{
    ::kill(pid_t(process.processId()), number);
}
