#include "pathbeneath.h"
#include "scratch.h"
#include "testfiles.h"
#include "treesnapshot.h"

#include <QFile>
#include <QtTest>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

class TestPathBeneath : public QObject
{
    Q_OBJECT

private slots:
    void writingBeneath();
};

void TestPathBeneath::writingBeneath()
{
    Scratch scratch;
    QVERIFY(scratch.ready);
    const FileDescriptor root = PathBeneath::openDirectory(scratch.inside + "/");
    QVERIFY(root.isValid());

    // Missing directories are made; an existing file is emptied.
    FileDescriptor file = PathBeneath::createFile(root.get(), "a/b//./c.zip", O_WRONLY);
    QVERIFY(file.isValid());
    QCOMPARE(::write(file.get(), "new", 3), ssize_t(3));
    file.reset();
    QCOMPARE(readFile(scratch.inside + "/a/b/c.zip"), QByteArray("new"));
    QVERIFY(writeFile(scratch.inside + "/a/b/c.zip", "longer old bytes"));
    QVERIFY(PathBeneath::createFile(root.get(), "a/b/c.zip", O_RDWR).isValid());
    QCOMPARE(readFile(scratch.inside + "/a/b/c.zip"), QByteArray());
    // Opened as it is, never emptied.
    QVERIFY(writeFile(scratch.inside + "/a/b/c.zip", "kept"));
    QVERIFY(PathBeneath::openFile(root.get(), "a/b/c.zip", O_WRONLY | O_APPEND).isValid());
    QCOMPARE(readFile(scratch.inside + "/a/b/c.zip"), QByteArray("kept"));
    QVERIFY(PathBeneath::removeFile(root.get(), "a/b/c.zip"));
    QVERIFY(!QFile::exists(scratch.inside + "/a/b/c.zip"));

    const TreeSnapshot outside = TreeSnapshot::take(scratch.outside);
    const auto refused = [](const FileDescriptor &opened, int expected) {
        return !opened.isValid() && errno == expected;
    };
    QVERIFY(refused(PathBeneath::createFile(root.get(), "../outside/victim", O_WRONLY), EACCES));
    QVERIFY(scratch.plantLink(scratch.inside + "/up", scratch.outside + "/dir"));
    QVERIFY(refused(PathBeneath::createFile(root.get(), "up/new.zip", O_WRONLY), ELOOP));
    QVERIFY(refused(PathBeneath::openDirectory(root.get(), "up/sub", true), ELOOP));
    QVERIFY(refused(PathBeneath::openFile(root.get(), "up/x", O_WRONLY | O_CREAT), ELOOP));
    QVERIFY(scratch.plantLink(scratch.inside + "/journal", scratch.outside + "/victim"));
    QVERIFY(refused(PathBeneath::openFile(root.get(), "journal", O_RDONLY), ELOOP));
    // A link is removed itself, never what it names, and never passed through.
    QVERIFY(!PathBeneath::removeFile(root.get(), "up/x") && errno == ELOOP);
    QVERIFY(PathBeneath::removeFile(root.get(), "journal"));
    QVERIFY(::mkfifo(QFile::encodeName(scratch.inside + "/fifo.zip").constData(), 0600) == 0);
    QVERIFY(refused(PathBeneath::createFile(root.get(), "fifo.zip", O_WRONLY), EPERM));
    QVERIFY(refused(PathBeneath::openFile(root.get(), "fifo.zip", O_RDONLY), EPERM));
    QVERIFY(refused(PathBeneath::createFile(root.get(), "a/b", O_WRONLY), EISDIR));
    QVERIFY(TreeSnapshot::take(scratch.outside) == outside);

    QVERIFY(refused(PathBeneath::openDirectory(scratch.inside + "/up/"), ELOOP));
}

QTEST_GUILESS_MAIN(TestPathBeneath)
#include "tst_pathbeneath.moc"
