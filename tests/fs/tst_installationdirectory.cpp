#include "installationdirectory.h"
#include "scratch.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QtTest>

class TestInstallationDirectory : public QObject
{
    Q_OBJECT

private slots:
    void replaceFromLinkRefused();
};

void TestInstallationDirectory::replaceFromLinkRefused()
{
    Scratch scratch;
    QVERIFY(scratch.ready);
    const QString source = scratch.inside + "/core/bin/tool";
    const QString target = scratch.inside + "/installed/tool";
    QVERIFY(QDir().mkpath(scratch.inside + "/installed"));
    QVERIFY(writeFile(target, "installed bytes"));
    QVERIFY(scratch.plantLink(source, scratch.outside + "/victim"));

    InstallationDirectory installed;
    QVERIFY(installed.open(scratch.inside + "/installed"));
    QVERIFY(!installed.replace("tool", source));
    QCOMPARE(readFile(target), QByteArray("installed bytes"));
    QCOMPARE(QDir(scratch.inside + "/installed")
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList {"tool"});

    // A plain file is still copied into place.
    QVERIFY(QFile::remove(source));
    QVERIFY(writeFile(source, "new bytes"));
    QVERIFY(installed.replace("tool", source));
    QCOMPARE(readFile(target), QByteArray("new bytes"));
}

QTEST_GUILESS_MAIN(TestInstallationDirectory)
#include "tst_installationdirectory.moc"
