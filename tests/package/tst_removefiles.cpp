#include "downloaddirectory.h"
#include "testfiles.h"
#include "treesnapshot.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

namespace {

// What an ended run does to the download directory at path.
bool removeFiles(const QString &path)
{
    DownloadDirectory directory(path);
    return !directory.open().isFailure() && directory.removeFiles();
}

} // namespace

class TestRemoveFiles : public QObject
{
    Q_OBJECT

private slots:
    void keepsDirectoriesAndRemovesEveryFile();
    void linksAreRemovedNotFollowed_data();
    void linksAreRemovedNotFollowed();
    void missingPathIsLeftAlone();
    void everyRemovalOfTheRunFindsTheFiles();
};

void TestRemoveFiles::keepsDirectoriesAndRemovesEveryFile()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString dir = temp.path() + "/tupdates";
    QVERIFY(writeFile(dir + "/core.zip", "x"));
    QVERIFY(writeFile(dir + "/.hidden", "x"));
    QVERIFY(writeFile(dir + "/core/bin/im-client", "x"));
    QVERIFY(writeFile(dir + "/core/unwind/.config/.settings", "x"));
    QVERIFY(QDir().mkpath(dir + "/empty"));
    QVERIFY(writeFile(dir + "/lock", ""));

    QVERIFY(removeFiles(dir));

    // The lock file stays for the run that holds it, which removes it as it lets it go.
    QStringList kinds;
    const TreeSnapshot after = TreeSnapshot::take(dir);
    for (auto it = after.entries().cbegin(); it != after.entries().cend(); ++it) {
        if (it.key() != "lock")
            QCOMPARE(it.value().kind, TreeSnapshot::Entry::Directory);
        kinds << it.key();
    }
    QCOMPARE(
        kinds,
        QStringList({"core", "core/bin", "core/unwind", "core/unwind/.config", "empty", "lock"}));
}

void TestRemoveFiles::linksAreRemovedNotFollowed_data()
{
    QTest::addColumn<QString>("linkTarget"); // relative to the directory outside the tree
    QTest::newRow("link to a directory") << "";
    QTest::newRow("link to a file") << "keep.txt";
    QTest::newRow("dangling link") << "missing";
}

void TestRemoveFiles::linksAreRemovedNotFollowed()
{
    QFETCH(QString, linkTarget);
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString outside = temp.path() + "/outside";
    QVERIFY(writeFile(outside + "/keep.txt", "keep"));
    QVERIFY(writeFile(outside + "/sub/.keep", "keep"));
    const TreeSnapshot before = TreeSnapshot::take(outside);
    const QString dir = temp.path() + "/tupdates";
    QVERIFY(QDir().mkpath(dir + "/core"));
    const QString link = dir + "/core/link";
    QVERIFY(QFile::link(outside + "/" + linkTarget, link));

    QVERIFY(removeFiles(dir));

    const TreeSnapshot after = TreeSnapshot::take(outside);
    QVERIFY2(after == before, qPrintable(before.differences(after)));
    QVERIFY(!QFileInfo(link).isSymLink());
    QVERIFY(QFileInfo(dir + "/core").isDir());
}

void TestRemoveFiles::missingPathIsLeftAlone()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    QVERIFY(writeFile(temp.path() + "/file", "x"));
    QVERIFY(!removeFiles(temp.path() + "/missing"));
    QVERIFY(!QFileInfo::exists(temp.path() + "/missing"));
    QVERIFY(QFileInfo::exists(temp.path() + "/file"));
}

// The run keeps its directory open: a recovery empties it, a download and an installation
// fill it again, and the end of the run must find what they wrote.
void TestRemoveFiles::everyRemovalOfTheRunFindsTheFiles()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString dir = temp.path() + "/tupdates";
    QVERIFY(writeFile(dir + "/core/unwind/lib/libold.so", "x"));
    DownloadDirectory directory(dir);
    QVERIFY(!directory.open().isFailure());
    QVERIFY(directory.removeFiles());
    QVERIFY(writeFile(dir + "/core.zip", "x"));
    QVERIFY(writeFile(dir + "/core/lib/libnew.so", "x"));

    QVERIFY(directory.removeFiles());

    QVERIFY(!QFileInfo::exists(dir + "/core.zip"));
    QVERIFY(!QFileInfo::exists(dir + "/core/lib/libnew.so"));
    QVERIFY(QFileInfo(dir + "/core/lib").isDir());
}

QTEST_GUILESS_MAIN(TestRemoveFiles)

#include "tst_removefiles.moc"
