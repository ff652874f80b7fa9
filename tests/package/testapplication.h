#ifndef TESTAPPLICATION_H
#define TESTAPPLICATION_H

#include <QStringList>

class QObject;

// The package reads "-root" from QCoreApplication::arguments(), which Qt reads from the argv
// the application object was given. These tests give it an argv that they can rewrite between
// test functions, and keep the real command line for QTest.
void setApplicationArguments(const QStringList &arguments);
int runTestWithApplication(QObject *test, int argc, char **argv);

#define VORN_PACKAGE_TEST_MAIN(TestClass)                                                          \
    int main(int argc, char **argv)                                                                \
    {                                                                                              \
        TestClass test;                                                                            \
        return runTestWithApplication(&test, argc, argv);                                          \
    }

#endif // TESTAPPLICATION_H
