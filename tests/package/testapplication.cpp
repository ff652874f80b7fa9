#include "testapplication.h"

#include <QApplication>
#include <QByteArray>
#include <QTest>

#include <vector>

namespace {

const int maxArguments = 16;
int applicationArgc = 1;
char *applicationArgv[maxArguments + 1];
std::vector<QByteArray> storage;

} // namespace

void setApplicationArguments(const QStringList &arguments)
{
    if (arguments.size() >= maxArguments)
        qFatal("too many test arguments");
    std::vector<QByteArray> next;
    next.push_back("tst_package");
    for (const QString &argument : arguments)
        next.push_back(argument.toLocal8Bit());
    storage.swap(next);
    for (size_t i = 0; i < storage.size(); ++i)
        applicationArgv[i] = storage[i].data();
    applicationArgv[storage.size()] = nullptr;
    applicationArgc = int(storage.size());
}

int runTestWithApplication(QObject *test, int argc, char **argv)
{
    setApplicationArguments({});
    QApplication app(applicationArgc, applicationArgv);
    return QTest::qExec(test, argc, argv);
}
