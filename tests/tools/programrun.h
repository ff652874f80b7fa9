#ifndef PROGRAMRUN_H
#define PROGRAMRUN_H

#include <QByteArray>
#include <QString>
#include <QStringList>

// What a program run as a child process returned and printed.
struct ProgramRun
{
    int exitCode = -1; // -1 when it did not end normally in time
    QByteArray out;
    QByteArray err;
};

// Runs the program to its end; an empty workingDirectory keeps the test's own.
ProgramRun runProgram(const QString &program, const QStringList &arguments,
                      const QString &workingDirectory = QString(), int timeoutMs = 30000);

#endif // PROGRAMRUN_H
