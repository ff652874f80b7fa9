#include "programrun.h"

#include <QProcess>

ProgramRun runProgram(const QString &program, const QStringList &arguments,
                      const QString &workingDirectory, int timeoutMs)
{
    QProcess process;
    process.setWorkingDirectory(workingDirectory);
    process.start(program, arguments);
    ProgramRun result;
    if (!process.waitForFinished(timeoutMs) || process.exitStatus() != QProcess::NormalExit)
        return result;
    result.exitCode = process.exitCode();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}
