#include "archiveextractor.h"
#include "downloaddirectory.h"
#include "pathbeneath.h"
#include "scratch.h"
#include "testfiles.h"
#include "treesnapshot.h"
#include "zipbuilder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool setMode(const QString &path, mode_t mode)
{
    return ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

const QString linkError = qt_error_string(ELOOP);

const QString notADirectory = QStringLiteral(
    "The download directory %1 is a symbolic link or not a directory, so no update is downloaded.");
const QString foreignOwner = QStringLiteral(
    "The download directory %1 belongs to another user, so no update is downloaded.");
const QString writableByOthers = QStringLiteral(
    "Other users can write to the download directory %1, so no update is downloaded.");
const QString unusable
    = QStringLiteral("The download directory %1 cannot be used (%2), so no update is downloaded.");

} // namespace

class TestDownloadDirectory : public QObject
{
    Q_OBJECT

private slots:
    // The download directory.
    void createdPrivate();
    void directoryJudged_data();
    void directoryJudged();
    void ownedBySomeoneElse();
    void directoryChosen_data();
    void directoryChosen();

    // Unpacking below a directory without following links.
    void extractionFollowsNoLink_data();
    void extractionFollowsNoLink();
    void archiveBehindALink_data();
    void archiveBehindALink();
    void swappedAfterOpening_data();
    void swappedAfterOpening();
};

void TestDownloadDirectory::createdPrivate()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString dir = temp.filePath("tmp/deeper/tupdates/");
    // Whatever the umask lets through, the directory is the user's alone.
    const mode_t before = ::umask(0);
    DownloadDirectory directory(dir);
    directory.create();
    ::umask(before);
    QCOMPARE(fileMode(temp.filePath("tmp/deeper/tupdates")), 0700);
    const Failure opened = directory.open();
    QVERIFY2(!opened, qPrintable(opened.text()));

    // Something that stands there already is left to be judged, not changed.
    QVERIFY(setMode(temp.filePath("tmp/deeper/tupdates"), 0777));
    QVERIFY(writeFile(temp.filePath("tmp/deeper/tupdates/left.zip"), "left"));
    directory.create();
    QCOMPARE(fileMode(temp.filePath("tmp/deeper/tupdates")), 0777);
    QCOMPARE(readFile(temp.filePath("tmp/deeper/tupdates/left.zip")), QByteArray("left"));
}

void TestDownloadDirectory::directoryJudged_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("text");

    QTest::newRow("private") << "directory" << 0700 << QString();
    QTest::newRow("readable by others") << "directory" << 0755 << QString();
    QTest::newRow("read-only") << "directory" << 0500 << QString();
    QTest::newRow("writable by everyone") << "directory" << 0777 << writableByOthers;
    QTest::newRow("writable by everyone, sticky") << "directory" << 01777 << writableByOthers;
    QTest::newRow("writable by the group") << "directory" << 0770 << writableByOthers;
    QTest::newRow("writable by others only") << "directory" << 0702 << writableByOthers;
    QTest::newRow("link to a private directory") << "link" << 0700 << notADirectory;
    QTest::newRow("dangling link") << "dangling" << 0 << notADirectory;
    QTest::newRow("plain file") << "file" << 0600 << notADirectory;
    QTest::newRow("missing") << "missing" << 0 << unusable.arg("%1", qt_error_string(ENOENT));
}

void TestDownloadDirectory::directoryJudged()
{
    QFETCH(QString, kind);
    QFETCH(int, mode);
    QFETCH(QString, text);

    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString dir = temp.filePath("tupdates");
    const QString elsewhere = temp.filePath("elsewhere");
    if (kind == "directory") {
        QVERIFY(QDir().mkdir(dir));
        QVERIFY(setMode(dir, mode_t(mode)));
    } else if (kind == "link") {
        QVERIFY(QDir().mkdir(elsewhere));
        QVERIFY(setMode(elsewhere, mode_t(mode)));
        QVERIFY(QFile::link(elsewhere, dir));
    } else if (kind == "dangling") {
        QVERIFY(QFile::link(elsewhere, dir));
    } else if (kind == "file") {
        QVERIFY(writeFile(dir, "not a directory"));
    }

    // The engine names it with its trailing separator; the check must not follow a link then.
    DownloadDirectory directory(dir + "/");
    const Failure opened = directory.open();
    QCOMPARE(directory.descriptor() >= 0, text.isEmpty());
    QCOMPARE(opened.text(), text.isEmpty() ? QString() : text.arg(dir));
    QCOMPARE(opened.kind(), text.isEmpty() ? Failure::None : Failure::Storage);
}

// Files of another user cannot be made here in every set-up (a user namespace maps one user
// only), so the comparison is checked with another expected owner, and with a real other
// owner where chown is allowed.
void TestDownloadDirectory::ownedBySomeoneElse()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString dir = temp.filePath("tupdates");
    QVERIFY(QDir().mkdir(dir));
    QVERIFY(setMode(dir, 0700));

    DownloadDirectory expectingAnother(dir, ::geteuid() + 1);
    QCOMPARE(expectingAnother.open().text(), foreignOwner.arg(dir));

    if (::chown(QFile::encodeName(dir).constData(), ::geteuid() + 4242, gid_t(-1)) != 0)
        QSKIP("this user cannot give a directory to another user");
    DownloadDirectory directory(dir);
    QCOMPARE(directory.open().text(), foreignOwner.arg(dir));
}

void TestDownloadDirectory::directoryChosen_data()
{
    QTest::addColumn<QString>("shared"); // what stands at tupdates: "", "file", "0777", "other"
    QTest::addColumn<bool>("sharedJournal");
    QTest::addColumn<bool>("ownJournal"); // the user's own directory holds a journal
    QTest::addColumn<bool>("sharedChosen");

    QTest::newRow("nothing there") << "" << false << false << true;
    QTest::newRow("the user's private directory") << "0700" << false << false << true;
    QTest::newRow("a file") << "file" << false << false << false;
    QTest::newRow("writable by everyone, with a journal") << "0777" << true << false << false;
    QTest::newRow("another user's") << "other" << false << false << false;
    QTest::newRow("usable, but the journal lies in the user's own")
        << "0700" << false << true << false;
}

void TestDownloadDirectory::directoryChosen()
{
    QFETCH(QString, shared);
    QFETCH(bool, sharedJournal);
    QFETCH(bool, ownJournal);
    QFETCH(bool, sharedChosen);

    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString dir = temp.filePath("tupdates");
    const QString own = temp.filePath(QStringLiteral("tupdates-%1").arg(::geteuid()));
    if (shared == "file") {
        QVERIFY(writeFile(dir, "taken"));
    } else if (!shared.isEmpty()) {
        QVERIFY(QDir().mkdir(dir));
        QVERIFY(setMode(dir, shared == "0777" ? 0777 : 0700));
    }
    if (shared == "other"
        && ::chown(QFile::encodeName(dir).constData(), ::geteuid() + 4242, gid_t(-1)) != 0)
        QSKIP("this user cannot give a directory to another user");
    if (sharedJournal)
        QVERIFY(writeFile(dir + "/journal", "planted"));
    if (ownJournal) {
        QVERIFY(QDir().mkdir(own));
        QVERIFY(setMode(own, 0700));
        QVERIFY(writeFile(own + "/journal", "interrupted"));
    }
    const TreeSnapshot before = TreeSnapshot::take(dir);

    QCOMPARE(DownloadDirectory::choose(temp.path(), temp.filePath("cache")),
             (sharedChosen ? dir : own) + "/");
    QCOMPARE(fileMode(sharedChosen ? dir : own), 0700);
    if (!sharedChosen)
        QVERIFY(TreeSnapshot::take(dir) == before);
}

void TestDownloadDirectory::extractionFollowsNoLink_data()
{
    QTest::addColumn<QString>("plant");
    QTest::addColumn<QList<QByteArray>>("entries");
    QTest::addColumn<bool>("created");
    QTest::addColumn<QString>("error");

    const bool refused = false;
    QTest::newRow("link at an unpacked file")
        << "link bin/tool -> victim" << QList<QByteArray> {"bin/tool"} << refused << linkError;
    QTest::newRow("dangling link at an unpacked file")
        << "link bin/tool -> dir/new" << QList<QByteArray> {"bin/tool"} << refused << linkError;
    QTest::newRow("link at a directory on the way")
        << "link bin -> dir" << QList<QByteArray> {"bin/tool"} << refused << linkError;
    QTest::newRow("link at a directory entry")
        << "link bin -> dir" << QList<QByteArray> {"bin/sub/", "readme.txt"} << true << QString();
    QTest::newRow("extraction directory is a link")
        << "link . -> dir" << QList<QByteArray> {"readme.txt"} << refused << linkError;
    QTest::newRow("hard link at an unpacked file")
        << "hard bin/tool -> victim" << QList<QByteArray> {"bin/tool"} << refused
        << qt_error_string(EPERM);
    QTest::newRow("pipe at an unpacked file")
        << "fifo bin/tool" << QList<QByteArray> {"bin/tool"} << refused << qt_error_string(EPERM);
}

void TestDownloadDirectory::extractionFollowsNoLink()
{
    QFETCH(QString, plant);
    QFETCH(QList<QByteArray>, entries);
    QFETCH(bool, created);
    QFETCH(QString, error);

    Scratch scratch;
    QVERIFY(scratch.ready);
    const QString archive = scratch.temp.filePath("core.zip");
    ZipBuilder zip;
    for (const QByteArray &entry : entries) {
        if (entry.endsWith('/'))
            zip.addDirectory(entry);
        else
            zip.addFile(entry, "archive bytes of " + entry);
    }
    QVERIFY(zip.write(archive));

    QString extractDir = scratch.inside + "/core";
    const QStringList words = plant.split(' ');
    const QString at = words.at(1) == "." ? extractDir : extractDir + "/" + words.at(1);
    if (words.at(1) != ".")
        QVERIFY(QDir().mkpath(extractDir));
    if (words.at(0) == "link") {
        QVERIFY(scratch.plantLink(at, scratch.outside + "/" + words.at(3)));
    } else if (words.at(0) == "hard") {
        QVERIFY(QDir().mkpath(QFileInfo(at).path()));
        QVERIFY(::link(QFile::encodeName(scratch.outside + "/" + words.at(3)).constData(),
                       QFile::encodeName(at).constData())
                == 0);
    } else {
        QVERIFY(QDir().mkpath(QFileInfo(at).path()));
        QVERIFY(::mkfifo(QFile::encodeName(at).constData(), 0600) == 0);
    }
    const TreeSnapshot outside = TreeSnapshot::take(scratch.outside);

    const FileDescriptor scratchRoot = PathBeneath::openDirectory(scratch.temp.path());
    ArchiveExtractor extractor(scratchRoot.get(),
                               QDir(scratch.temp.path()).relativeFilePath(archive),
                               QDir(scratch.temp.path()).relativeFilePath(extractDir) + "/");
    const Failure failure = extractor.extract();
    QCOMPARE(failure.isFailure(), !created);
    if (failure) {
        QCOMPARE(failure.kind(), Failure::Storage);
        QCOMPARE(qt_error_string(failure.systemError()), error);
        QVERIFY2(failure.text().startsWith("Cannot create file "), qPrintable(failure.text()));
    }
    const TreeSnapshot after = TreeSnapshot::take(scratch.outside);
    QVERIFY2(after == outside, qPrintable(outside.differences(after)));
    if (created)
        QCOMPARE(readFile(extractDir + "/readme.txt"), QByteArray("archive bytes of readme.txt"));
}

void TestDownloadDirectory::archiveBehindALink_data()
{
    QTest::addColumn<QString>("archive"); // below the download directory
    QTest::addColumn<QString>("link"); // where the link stands, to what outside
    QTest::newRow("link at the archive") << "core.zip"
                                         << "core.zip -> dir/core.zip";
    QTest::newRow("link at a directory above the archive") << "sub/core.zip"
                                                           << "sub -> dir";
}

// The archive is read beneath the download directory: a link planted at its name, or on the
// way to it, is not read through.
void TestDownloadDirectory::archiveBehindALink()
{
    QFETCH(QString, archive);
    QFETCH(QString, link);
    Scratch scratch;
    QVERIFY(scratch.ready);
    QVERIFY(
        ZipBuilder().addFile("readme.txt", "elsewhere").write(scratch.outside + "/dir/core.zip"));
    QVERIFY(scratch.plantLink(scratch.inside + "/" + link.section(" -> ", 0, 0),
                              scratch.outside + "/" + link.section(" -> ", 1)));
    DownloadDirectory downloads(scratch.inside);
    QVERIFY(!downloads.open());
    const TreeSnapshot outside = TreeSnapshot::take(scratch.outside);

    ArchiveExtractor extractor(downloads.descriptor(), archive, "core/");
    QCOMPARE(extractor.extract().text(), QStringLiteral("Unable to open update archive"));
    QVERIFY(!QFileInfo::exists(scratch.inside + "/core/readme.txt"));
    QVERIFY(TreeSnapshot::take(scratch.outside) == outside);
}

void TestDownloadDirectory::swappedAfterOpening_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("text");
    QTest::newRow("left alone") << "" << QString();
    QTest::newRow("made writable by everyone") << "chmod" << writableByOthers;
    QTest::newRow("removed") << "remove" << unusable.arg("%1", qt_error_string(ENOENT));
    QTest::newRow("moved away, a link to it in its place") << "link" << notADirectory;
    QTest::newRow("moved away, a plain file in its place") << "file" << notADirectory;
    QTest::newRow("moved away, another private directory in its place")
        << "directory" << unusable.arg("%1", qt_error_string(ESTALE));
}

// The download checks the run's directory again when it begins, without opening it again:
// what stands at its path then must still be the directory the run opened and locked.
void TestDownloadDirectory::swappedAfterOpening()
{
    QFETCH(QString, change);
    QFETCH(QString, text);
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString dir = temp.filePath("tupdates");
    const QString moved = temp.filePath("moved");
    QVERIFY(QDir().mkdir(dir));
    QVERIFY(setMode(dir, 0700));
    DownloadDirectory directory(dir + "/");
    QVERIFY(!directory.open());

    if (change == "chmod")
        QVERIFY(setMode(dir, 0777));
    else if (change == "remove")
        QVERIFY(QDir().rmdir(dir));
    else if (!change.isEmpty())
        QVERIFY(QDir().rename(dir, moved));
    if (change == "link")
        QVERIFY(QFile::link(moved, dir));
    else if (change == "file")
        QVERIFY(writeFile(dir, "not a directory"));
    else if (change == "directory")
        QVERIFY(QDir().mkdir(dir) && setMode(dir, 0700));

    const Failure checked = directory.recheck();
    QCOMPARE(checked.text(), text.isEmpty() ? QString() : text.arg(dir));
    QCOMPARE(directory.isOpen(), text.isEmpty());
    // Refused once, refused for the rest of the run with the same words.
    if (!text.isEmpty())
        QCOMPARE(directory.recheck().text(), checked.text());
}

QTEST_MAIN(TestDownloadDirectory)
#include "tst_downloaddirectory.moc"
