#include "archiveextractor.h"
#include "pathbeneath.h"
#include "testfiles.h"
#include "testzip.h"
#include "treesnapshot.h"
#include "zipbuilder.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

class TestArchiveExtractor : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void unpacksInArchiveOrder();
    void emptyArchive();
    void directoriesInAnyOrder();
    void unsafeNameWritesNothing_data();
    void unsafeNameWritesNothing();
    void nameLengthLimit_data();
    void nameLengthLimit();
    void damagedEntryIsNotKept_data();
    void damagedEntryIsNotKept();
    void protectedPathIsNotOverwritten_data();
    void protectedPathIsNotOverwritten();
    void overLimitsWritesNothing_data();
    void overLimitsWritesNothing();

private:
    // A path of the scratch area as the extractor takes it: below the area's root.
    QString below(const QString &path) const { return QDir(temp->path()).relativeFilePath(path); }
    // Of archive into target, reached beneath the scratch area's root.
    ArchiveExtractor extractorOfArchive() const
    {
        return ArchiveExtractor(root.get(), below(archive), below(target) + "/");
    }

    std::unique_ptr<QTemporaryDir> temp;
    FileDescriptor root;
    QString archive;
    QString target;
};

void TestArchiveExtractor::init()
{
    temp = std::make_unique<QTemporaryDir>();
    QVERIFY(temp->isValid());
    archive = temp->path() + "/dl/core.zip";
    target = temp->path() + "/dl/core/";
    QVERIFY(QDir().mkpath(target));
    root = PathBeneath::openDirectory(temp->path());
    QVERIFY(root.isValid());
}

void TestArchiveExtractor::unpacksInArchiveOrder()
{
    QVERIFY(ZipBuilder({{"b.txt", "b"},
                        {"dir/", ""},
                        {"dir/sub/a.txt", "a"},
                        {"empty", ""},
                        {"stored.bin", QByteArray(70000, 's'), true}})
                .write(archive));
    ArchiveExtractor extractor = extractorOfArchive();
    QVERIFY(!extractor.extract());
    QCOMPARE(extractor.getUnpackedFiles(),
             QStringList({"b.txt", "dir/sub/a.txt", "empty", "stored.bin"}));
    QCOMPARE(readFile(target + "dir/sub/a.txt"), QByteArray("a"));
    QCOMPARE(readFile(target + "stored.bin"), QByteArray(70000, 's'));
    QVERIFY(QFileInfo(target + "empty").isFile());
}

// Entries of one directory need not follow each other, and a file already there (longer
// than the new one) is replaced by exactly the new bytes.
void TestArchiveExtractor::directoriesInAnyOrder()
{
    QVERIFY(writeFile(target + "a/2", QByteArray(5000, 'o')));
    QVERIFY(ZipBuilder({{"a/1", "a1"},
                        {"b/1", "b1"},
                        {"a/2", "a2"},
                        {"a/sub/1", "as1"},
                        {"a/3", "a3"},
                        {"top", "t"},
                        {"b/2", "b2"},
                        {"b/", ""},
                        {"b/3", "b3"}})
                .write(archive));
    ArchiveExtractor extractor = extractorOfArchive();
    QVERIFY(!extractor.extract());
    QCOMPARE(extractor.getUnpackedFiles().size(), 8);
    const QStringList names = {"a/1", "b/1", "a/2", "a/sub/1", "a/3", "top", "b/2", "b/3"};
    const QStringList bytes = {"a1", "b1", "a2", "as1", "a3", "t", "b2", "b3"};
    for (int i = 0; i < names.size(); ++i)
        QCOMPARE(readFile(target + names.at(i)), bytes.at(i).toLatin1());
    QCOMPARE(QDir(target).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList({"a", "b", "top"}));
}

void TestArchiveExtractor::emptyArchive()
{
    QVERIFY(ZipBuilder().write(archive));
    ArchiveExtractor extractor = extractorOfArchive();
    QVERIFY(!extractor.extract());
    QVERIFY(extractor.getUnpackedFiles().isEmpty());
    QVERIFY(QDir(target).isEmpty());
}

void TestArchiveExtractor::unsafeNameWritesNothing_data()
{
    QTest::addColumn<QByteArray>("name"); // "@" stands for the scratch directory
    QTest::newRow("parent of the target") << QByteArray("../evil");
    QTest::newRow("two levels up") << QByteArray("../../evil");
    QTest::newRow("down and further up") << QByteArray("sub/../../../evil");
    QTest::newRow("directory entry") << QByteArray("../../evil/");
    QTest::newRow("absolute name") << QByteArray("@/evil");
}

void TestArchiveExtractor::unsafeNameWritesNothing()
{
    QFETCH(QByteArray, name);
    name.replace("@", QFile::encodeName(temp->path()));
    QVERIFY(ZipBuilder({{"first", "1"}, {name, "evil"}, {"last", "2"}}).write(archive));
    const TreeSnapshot before = TreeSnapshot::take(temp->path());
    ArchiveExtractor extractor = extractorOfArchive();
    QCOMPARE(extractor.extract().text(),
             QStringLiteral("Cannot extract update file (%1)!").arg(QString::fromLatin1(name)));
    QCOMPARE(extractor.getUnpackedFiles(), QStringList({"first"}));
    TreeSnapshot after = TreeSnapshot::take(temp->path());
    QVERIFY(!QFileInfo::exists(temp->path() + "/evil"));
    QVERIFY(!QFileInfo::exists(temp->path() + "/dl/evil"));
    QCOMPARE(after.entries().size(), before.entries().size() + 1); // dl/core/first
}

void TestArchiveExtractor::nameLengthLimit_data()
{
    QTest::addColumn<int>("length");
    QTest::newRow("255 bytes") << 255;
    QTest::newRow("256 bytes") << 256;
    QTest::newRow("1000 bytes") << 1000;
}

void TestArchiveExtractor::nameLengthLimit()
{
    QFETCH(int, length);
    // Directories keep every segment below the file system's own limit.
    QByteArray name;
    while (name.size() + 101 < length)
        name += QByteArray(100, 'd') + "/";
    name += QByteArray(length - name.size(), 'f');
    QVERIFY(ZipBuilder({{name, "content"}}).write(archive));
    ArchiveExtractor extractor = extractorOfArchive();
    const bool accepted = length < 256;
    const Failure failure = extractor.extract();
    QCOMPARE(failure.isFailure(), !accepted);
    QCOMPARE(QFileInfo::exists(target + name.left(255)), accepted);
    if (!accepted)
        QCOMPARE(failure.text(),
                 QStringLiteral("Cannot extract update file (%1)!")
                     .arg(QString::fromLatin1(name.left(256))));
}

void TestArchiveExtractor::damagedEntryIsNotKept_data()
{
    QTest::addColumn<bool>("stored");
    QTest::addColumn<int>("sizeChange"); // 0: flip a data byte instead
    QTest::newRow("checksum mismatch, stored") << true << 0;
    QTest::newRow("corrupt deflate stream") << false << 0;
    QTest::newRow("declared size larger") << false << 10;
    QTest::newRow("declared size smaller") << false << -10;
}

void TestArchiveExtractor::damagedEntryIsNotKept()
{
    QFETCH(bool, stored);
    QFETCH(int, sizeChange);
    QByteArray content;
    for (int i = 0; i < 5000; ++i)
        content += QByteArray::number(i * 7919 % 10007) + " ";
    QVERIFY(ZipBuilder({{"good", "good"}, {"bin/tool", content, stored}}).write(archive));
    QByteArray zip = readFile(archive);
    if (sizeChange == 0)
        zip[TestZip::dataOffset(zip, "bin/tool") + 40] ^= 0x10;
    else
        QVERIFY(TestZip::setDeclaredSize(zip, "bin/tool", quint32(content.size() + sizeChange)));
    QVERIFY(writeFile(archive, zip));

    ArchiveExtractor extractor = extractorOfArchive();
    QCOMPARE(extractor.extract().text(), QStringLiteral("Cannot read file from archive!"));
    QCOMPARE(extractor.getUnpackedFiles(), QStringList({"good"}));
    QVERIFY(!QFileInfo::exists(target + "bin/tool"));
}

void TestArchiveExtractor::protectedPathIsNotOverwritten_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QString>("guarded"); // relative to the target directory
    QTest::newRow("the archive itself") << QByteArray("core.zip") << "core.zip";
    QTest::newRow("the archive, dotted") << QByteArray("./core.zip") << "core.zip";
    QTest::newRow("below a protected directory") << QByteArray("unwind/bin/x") << "unwind/";
}

void TestArchiveExtractor::protectedPathIsNotOverwritten()
{
    QFETCH(QByteArray, name);
    QFETCH(QString, guarded);
    // The package URL path /core/core.zip puts the archive inside the target directory.
    archive = target + "core.zip";
    QVERIFY(ZipBuilder({{"sub/", ""}, {name, "not an archive"}}).write(archive));
    const QByteArray bytes = readFile(archive);
    ArchiveExtractor extractor = extractorOfArchive();
    extractor.protect(below(target + guarded));
    QCOMPARE(extractor.extract().text(),
             QStringLiteral("Cannot extract update file (%1)!").arg(QString::fromLatin1(name)));
    QCOMPARE(readFile(archive), bytes);
    QVERIFY(!QFileInfo::exists(target + "unwind/bin/x"));
}

void TestArchiveExtractor::overLimitsWritesNothing_data()
{
    QTest::addColumn<int>("entries");
    QTest::addColumn<int>("entrySize");
    QTest::addColumn<QByteArray>("damage");
    QTest::addColumn<quint64>("entryLimit");
    QTest::addColumn<quint64>("byteLimit");
    QTest::addColumn<QString>("message");
    const quint64 entryLimit = ArchiveExtractor::Limits().entries;
    const quint64 byteLimit = ArchiveExtractor::Limits().bytes;
    const QString tooLarge
        = "Package core would unpack to %1 MB, more than a package may, so it is not unpacked.";
    QTest::newRow("1 MiB declaring 1 GiB")
        << 2 << (1 << 20) << QByteArray("1 GiB") << entryLimit << byteLimit << tooLarge.arg(1075);
    // The text names the limit of the updater, not the one the test sets.
    QTest::newRow("entries over the limit")
        << 4 << 10 << QByteArray() << quint64(3) << byteLimit
        << "Package core holds more than 100000 files, so it is not unpacked.";
    QTest::newRow("bytes over the limit")
        << 2 << 600 << QByteArray() << entryLimit << quint64(1000) << tooLarge.arg(1);
    QTest::newRow("entries sharing bytes")
        << 2 << 1000 << QByteArray("share") << entryLimit << byteLimit
        << "Package core is damaged: its files overlap in the archive, so it is not unpacked.";
}

void TestArchiveExtractor::overLimitsWritesNothing()
{
    QFETCH(int, entries);
    QFETCH(int, entrySize);
    QFETCH(QByteArray, damage);
    QFETCH(quint64, entryLimit);
    QFETCH(quint64, byteLimit);
    QFETCH(QString, message);
    ZipBuilder builder;
    QByteArray content;
    for (int i = 0; content.size() < entrySize; ++i)
        content += QByteArray::number(i * 7919 % 10007) + " ";
    content.truncate(entrySize);
    for (int i = 0; i < entries; ++i)
        builder.addFile("f" + QByteArray::number(i), content, true);
    QVERIFY(builder.write(archive));
    QByteArray zip = readFile(archive);
    if (damage == "1 GiB")
        QVERIFY(TestZip::setDeclaredSize(zip, "f1", 1u << 30));
    else if (damage == "share")
        QVERIFY(TestZip::shareBytes(zip, "f1", "f0"));
    QVERIFY(writeFile(archive, zip));

    ArchiveExtractor extractor = extractorOfArchive();
    extractor.setLimits({entryLimit, byteLimit});
    extractor.describe("core", temp->path() + "/dl/");
    QCOMPARE(extractor.extract().text(), message);
    QVERIFY(extractor.getUnpackedFiles().isEmpty());
    QVERIFY(QDir(target).isEmpty());
}

QTEST_GUILESS_MAIN(TestArchiveExtractor)

#include "tst_archiveextractor.moc"
