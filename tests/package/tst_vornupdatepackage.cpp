#include "messageboxanswerer.h"
#include "packagefixture.h"
#include "testapplication.h"
#include "testfiles.h"
#include "testinstallation.h"
#include "testzip.h"
#include "treesnapshot.h"
#include "vornupdatepackage.h"

#include <QDir>
#include <QFileInfo>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

#include <memory>

using Entry = ZipBuilder::Entry;

namespace {

const QByteArray workedManifest = "<?xml version=\"1.0\"?>\n"
                                  "<package project=\"im\" name=\"core\" type=\"app\">\n"
                                  "  <file name=\"im-client\" path=\"bin\" action=\"add\"/>\n"
                                  "  <file name=\"libold.so\" path=\"lib\" action=\"remove\"/>\n"
                                  "</package>\n";

// Failures that install() reports; each row of failureIsReportedAndUnwound builds one.
enum Scenario {
    ArchiveMissing,
    ArchiveNotZip,
    FileCannotBeCreated,
    EntryCannotBeOpened,
    EntryCannotBeRead,
    WrongProject,
    WrongName,
    WrongType,
    AddSourceMissing,
    ZipSlip,
    ChecksumMismatch,
    EntryOverwritesArchive,
    EntryInUnwindDir,
    BackupFails,
    DeclaresGigabyte,
    EntriesShareBytes,
    AddBeyondLink,
    RemoveBeyondLink
};

// Manifest that changes two things and adds one new file before the element that fails.
QByteArray appliedThen(const QByteArray &failing)
{
    return "<?xml version=\"1.0\"?>\n<manifest>\n"
        + PackageFixture::fileElement("tool", "new", "add")
        + PackageFixture::fileElement("libold.so", "lib", "add") + failing + "</manifest>\n";
}

QList<Entry> appliedEntries(const QByteArray &manifest)
{
    return {{"core.xml", manifest}, {"new/tool", "tool"}, {"lib/libold.so", "newer lib"}};
}

} // namespace

class TestVornUpdatePackage : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void workedExample();
    void fileListedTwice();
    void removeOfMissingFile();
    void whatStandsAtTheFilesPlace_data();
    void whatStandsAtTheFilesPlace();
    void addOfNewFileSurvivesUnwind();
    void componentTag_data();
    void componentTag();
    void containmentSkips_data();
    void containmentSkips();
    void containmentApplies_data();
    void containmentApplies();
    void manifestRules_data();
    void manifestRules();
    void emptyArchive();
    void manifestWithoutFiles();
    void archiveBase_data();
    void archiveBase();
    void failureIsReportedAndUnwound_data();
    void failureIsReportedAndUnwound();
    void addReplacesByRename();
    void pluginDirectoryAndFallbackModes();
    void pluginTakesModeOfItsDirectory();
    void rootCheck_data();
    void rootCheck();

private:
    std::unique_ptr<PackageFixture> fx;
    QString originalCurrentDir;
};

void TestVornUpdatePackage::init()
{
    originalCurrentDir = QDir::currentPath();
    fx = std::make_unique<PackageFixture>();
    QVERIFY(fx->isValid());
}

void TestVornUpdatePackage::cleanup()
{
    QDir::setCurrent(originalCurrentDir);
    fx.reset();
}

void TestVornUpdatePackage::workedExample()
{
    QVERIFY(fx->writeArchive("/core.zip",
                             {{"core.xml", workedManifest},
                              {"bin/", ""},
                              {"bin/im-client", "new client"},
                              {"lib/libnew.so", "new lib"}}));
    const TreeSnapshot before = TreeSnapshot::take(fx->root);
    const auto offer = PackageFixture::offer();
    MessageBoxAnswerer answerer;

    VornUpdatePackage package(offer.identity, offer.archivePath, testInstallation());
    QVERIFY(package.isValid());
    QCOMPARE(package.getInstallDir(), fx->root);
    QCOMPARE(package.getArchiveBase(), QString("/core"));
    QStringList files;
    QVERIFY(!package.install(fx->downloads, files));

    QCOMPARE(answerer.count(), 0);
    QCOMPARE(files, QStringList({" - bin/im-client", " - lib/libnew.so"}));
    QCOMPARE(readFile(fx->root + "/bin/im-client"), QByteArray("new client"));
    QCOMPARE(fileMode(fx->root + "/bin/im-client"), 0755);
    QVERIFY(!QFileInfo::exists(fx->root + "/lib/libold.so"));
    QVERIFY(!QFileInfo::exists(fx->root + "/lib/libnew.so"));
    QCOMPARE(readFile(fx->downloadDir + "core/lib/libnew.so"), QByteArray("new lib"));
    QCOMPARE(readFile(fx->unwindDir() + "bin/im-client"), QByteArray("old client"));
    QCOMPARE(readFile(fx->unwindDir() + "lib/libold.so"), QByteArray("old lib"));
    QCOMPARE(package.getBackupDirs(), QStringList({"bin", "lib"}));
    QCOMPARE(package.getBackupFiles(), QStringList({"bin/im-client", "lib/libold.so"}));
    QCOMPARE(package.getUnwindDir(), fx->unwindDir());

    QVERIFY(package.unwind(fx->downloads));
    const TreeSnapshot after = TreeSnapshot::take(fx->root);
    QVERIFY2(after == before, qPrintable(before.differences(after)));
    QCOMPARE(answerer.count(), 0);
}

void TestVornUpdatePackage::fileListedTwice()
{
    const QByteArray entry = PackageFixture::fileElement("im-client", "bin", "add");
    QVERIFY(fx->writeArchive(
        "/core.zip",
        {{"core.xml", PackageFixture::manifest(entry + entry)}, {"bin/im-client", "new client"}}));
    const TreeSnapshot before = TreeSnapshot::take(fx->root);
    const auto offer = PackageFixture::offer();
    VornUpdatePackage package(offer.identity, offer.archivePath, testInstallation());
    QStringList files;
    QVERIFY(!package.install(fx->downloads, files));

    QCOMPARE(package.getBackupFiles(), QStringList({"bin/im-client", "bin/im-client"}));
    QCOMPARE(package.getBackupDirs(), QStringList({"bin"}));
    QCOMPARE(readFile(fx->unwindDir() + "bin/im-client"), QByteArray("old client"));
    QVERIFY(package.unwind(fx->downloads));
    const TreeSnapshot after = TreeSnapshot::take(fx->root);
    QVERIFY2(after == before, qPrintable(before.differences(after)));
}

void TestVornUpdatePackage::removeOfMissingFile()
{
    QVERIFY(fx->writeArchive(
        "/core.zip",
        {{"core.xml",
          PackageFixture::manifest(PackageFixture::fileElement("gone.so", "lib", "remove"))}}));
    const TreeSnapshot before = TreeSnapshot::take(fx->root);
    const auto offer = PackageFixture::offer();
    VornUpdatePackage package(offer.identity, offer.archivePath, testInstallation());
    QStringList files;
    QVERIFY(!package.install(fx->downloads, files));
    QVERIFY(package.getBackupFiles().isEmpty());
    QVERIFY(package.getBackupDirs().isEmpty());
    QVERIFY(!QFileInfo::exists(fx->unwindDir() + "lib"));
    QVERIFY(TreeSnapshot::take(fx->root) == before);
}

void TestVornUpdatePackage::whatStandsAtTheFilesPlace_data()
{
    QTest::addColumn<QString>("standing"); // "file", or the target of a link
    QTest::addColumn<QByteArray>("backup"); // its bytes in the unwind directory; empty: none
    QTest::newRow("a plain file: installed over, backed up") << "file" << QByteArray("old client");
    QTest::newRow("a link to a file: installed over, its target backed up")
        << "../lib/libold.so" << QByteArray("old lib");
    QTest::newRow("a dangling link: replaced, nothing to back up")
        << "../lib/missing.so" << QByteArray();
}

void TestVornUpdatePackage::whatStandsAtTheFilesPlace()
{
    QFETCH(QString, standing);
    QFETCH(QByteArray, backup);
    const QString client = fx->root + "/bin/im-client";
    if (standing != u"file") {
        QVERIFY(QFile::remove(client));
        QVERIFY(QFile::link(standing, client));
    }
    QVERIFY(fx->writeArchive(
        "/core.zip",
        {{"core.xml",
          PackageFixture::manifest(PackageFixture::fileElement("im-client", "bin", "add"))},
         {"bin/im-client", "new client"}}));
    const auto offer = PackageFixture::offer();
    MessageBoxAnswerer answerer;
    VornUpdatePackage package(offer.identity, offer.archivePath, testInstallation());
    QStringList files;
    QVERIFY(!package.install(fx->downloads, files));
    QCOMPARE(answerer.count(), 0);
    QVERIFY(!QFileInfo(client).isSymLink());
    QCOMPARE(readFile(client), QByteArray("new client"));
    QCOMPARE(QFileInfo::exists(fx->unwindDir() + "bin/im-client"), !backup.isEmpty());
    if (!backup.isEmpty())
        QCOMPARE(readFile(fx->unwindDir() + "bin/im-client"), backup);
    QCOMPARE(package.getBackupFiles(),
             backup.isEmpty() ? QStringList() : QStringList {"bin/im-client"});
}

void TestVornUpdatePackage::addOfNewFileSurvivesUnwind()
{
    QVERIFY(fx->writeArchive(
        "/core.zip",
        {{"core.xml",
          PackageFixture::manifest(PackageFixture::fileElement("helper", "bin/tools", "add"))},
         {"bin/tools/helper", "helper"}}));
    const auto offer = PackageFixture::offer();
    VornUpdatePackage package(offer.identity, offer.archivePath, testInstallation());
    QStringList files;
    QVERIFY(!package.install(fx->downloads, files));
    QVERIFY(package.getBackupFiles().isEmpty());

    QVERIFY(package.unwind(fx->downloads));
    QCOMPARE(readFile(fx->root + "/bin/tools/helper"), QByteArray("helper"));
    QCOMPARE(fileMode(fx->root + "/bin/tools/helper"), 0755);
}

void TestVornUpdatePackage::componentTag_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("installed");
    QTest::newRow("begins with the tag") << QByteArray("im_core_app.conf") << false;
    QTest::newRow("is the tag") << QByteArray("im_core_app") << false;
    QTest::newRow("tag in the middle") << QByteArray("old-im_core_app") << true;
    QTest::newRow("tag in other letter case") << QByteArray("IM_core_app.conf") << true;
}

void TestVornUpdatePackage::componentTag()
{
    QFETCH(QByteArray, name);
    QFETCH(bool, installed);
    const QString target = fx->root + "/etc/" + name;
    QVERIFY(writeFile(target, "before"));
    QVERIFY(fx->writeArchive(
        "/core.zip",
        {{"core.xml", PackageFixture::manifest(PackageFixture::fileElement(name, "etc", "add"))},
         {"etc/" + name, "from package"}}));
    const auto offer = PackageFixture::offer();
    VornUpdatePackage package(offer.identity, offer.archivePath, testInstallation());
    QStringList files;
    QVERIFY(!package.install(fx->downloads, files));

    QCOMPARE(QFileInfo::exists(target), installed);
    if (installed)
        QCOMPARE(readFile(target), QByteArray("from package"));
    QCOMPARE(package.getBackupFiles(), QStringList({"etc/" + name}));
    QVERIFY(package.unwind(fx->downloads));
    QCOMPARE(readFile(target), QByteArray("before"));
}

void TestVornUpdatePackage::containmentSkips_data()
{
    // "@" stands for the scratch directory; victim is relative to it and must survive a
    // "remove" that names it.
    QTest::addColumn<QString>("rootArgument");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QString>("victim");
    QTest::newRow("climbs out with ..")
        << "@/opt/im" << QByteArray("../..") << QByteArray("victim") << "victim";
    QTest::newRow("name climbs out with ..")
        << "@/opt/im" << QByteArray("bin") << QByteArray("../../../victim") << "victim";
    QTest::newRow("sibling sharing the prefix")
        << "@/opt/im" << QByteArray("../im-evil") << QByteArray("victim") << "opt/im-evil/victim";
    QTest::newRow("sibling with a longer name")
        << "@/opt/im" << QByteArray("../imx") << QByteArray("victim") << "opt/imx/victim";
    QTest::newRow("path leaves, name comes back")
        << "@/opt/im" << QByteArray("../im-evil") << QByteArray("../im/lib/libold.so")
        << "opt/im/lib/libold.so";
    QTest::newRow("doubled separator in root")
        << "@/opt//im" << QByteArray("lib") << QByteArray("libold.so") << "opt/im/lib/libold.so";
    QTest::newRow("relative root")
        << "opt/im" << QByteArray("lib") << QByteArray("libold.so") << "opt/im/lib/libold.so";
    QTest::newRow("the root itself")
        << "@/opt/im" << QByteArray("") << QByteArray("") << "opt/im/lib/libold.so";
}

void TestVornUpdatePackage::containmentSkips()
{
    QFETCH(QString, rootArgument);
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, name);
    QFETCH(QString, victim);
    const QString victimPath = fx->base + "/" + victim;
    if (!QFileInfo::exists(victimPath))
        QVERIFY(writeFile(victimPath, "victim"));
    const QByteArray victimBytes = readFile(victimPath);
    QDir::setCurrent(fx->base);
    setApplicationArguments({"-root", rootArgument.replace("@", fx->base)});
    QVERIFY(fx->writeArchive(
        "/core.zip",
        {{"core.xml",
          PackageFixture::manifest(PackageFixture::fileElement(name, path, "remove"))}}));
    const auto offer = PackageFixture::offer();
    MessageBoxAnswerer answerer;
    VornUpdatePackage package(offer.identity, offer.archivePath, testInstallation());
    QVERIFY(package.isValid());
    QStringList files;
    QVERIFY(!package.install(fx->downloads, files));

    QCOMPARE(answerer.count(), 0);
    QCOMPARE(readFile(victimPath), victimBytes);
    QVERIFY(package.getBackupFiles().isEmpty());
}

void TestVornUpdatePackage::containmentApplies_data()
{
    QTest::addColumn<QString>("rootArgument");
    QTest::addColumn<QByteArray>("path");
    QTest::newRow("plain path") << "@/opt/im" << QByteArray("bin");
    QTest::newRow("doubled separators in path") << "@/opt/im" << QByteArray("bin//");
    QTest::newRow("dot segments staying inside") << "@/opt/im" << QByteArray("lib/../bin/.");
    QTest::newRow("root with trailing separator") << "@/opt/im/" << QByteArray("bin");
}

void TestVornUpdatePackage::containmentApplies()
{
    QFETCH(QString, rootArgument);
    QFETCH(QByteArray, path);
    setApplicationArguments({"-root", rootArgument.replace("@", fx->base)});
    QVERIFY(fx->writeArchive(
        "/core.zip",
        {{"core.xml",
          PackageFixture::manifest(PackageFixture::fileElement("im-client", path, "add"))},
         {"lib/", ""},
         {"bin/im-client", "new client"}}));
    const auto offer = PackageFixture::offer();
    MessageBoxAnswerer answerer;
    VornUpdatePackage package(offer.identity, offer.archivePath, testInstallation());
    QStringList files;
    QVERIFY(!package.install(fx->downloads, files));
    QCOMPARE(answerer.count(), 0);
    QCOMPARE(readFile(fx->root + "/bin/im-client"), QByteArray("new client"));
    QCOMPARE(readFile(fx->unwindDir() + "bin/im-client"), QByteArray("old client"));
    QVERIFY(package.unwind(fx->downloads));
    QCOMPARE(readFile(fx->root + "/bin/im-client"), QByteArray("old client"));
}

void TestVornUpdatePackage::manifestRules_data()
{
    QTest::addColumn<QByteArray>("manifest");
    QTest::addColumn<QStringList>("installed"); // of a, b and c in bin/
    QTest::addColumn<QString>("message");

    const QByteArray head = "<?xml version=\"1.0\"?>\n";
    const QByteArray pkg = "<package project=\"im\" name=\"core\" type=\"app\">";
    QTest::newRow("action in capitals")
        << head + pkg + "<file name=\"a\" path=\"bin\" action=\"ADD\"/></package>"
        << QStringList {"a"} << "";
    QTest::newRow("action in mixed case")
        << head + pkg + "<file name=\"a\" path=\"bin\" action=\"aDd\"/></package>"
        << QStringList {"a"} << "";
    QTest::newRow("action that only begins with add")
        << head + pkg + "<file name=\"a\" path=\"bin\" action=\"added\"/></package>"
        << QStringList {} << "";
    QTest::newRow("nested file elements in document order")
        << head + "<r><file name=\"a\" path=\"bin\" action=\"add\"/>" + pkg
            + "<g><h><file name=\"b\" path=\"bin\" action=\"add\"/></h></g></package></r>"
        << QStringList {"a", "b"} << "";
    QTest::newRow("package without attributes")
        << head + "<package><file name=\"a\" path=\"bin\" action=\"add\"/></package>"
        << QStringList {"a"} << "";
    QTest::newRow("no package element")
        << head + "<list><file name=\"a\" path=\"bin\" action=\"add\"/></list>" << QStringList {"a"}
        << "";
    QTest::newRow("attribute name in other letter case is ignored") << head
            + "<package Name=\"other\" TYPE=\"x\"><file name=\"a\" path=\"bin\" "
              "action=\"add\"/></package>" << QStringList {"a"} << "";
    QTest::newRow("project in other letter case")
        << head + "<package project=\"IM\"><file name=\"a\" path=\"bin\" action=\"add\"/></package>"
        << QStringList {} << "Wrong project!";
    QTest::newRow("first differing attribute decides") << head
            + "<package type=\"plugin\" name=\"other\" project=\"im\"><file name=\"a\" "
              "path=\"bin\" action=\"add\"/></package>" << QStringList {}
                                                       << "Wrong type!";
    QTest::newRow("name attribute with a namespace prefix")
        << head + "<package xmlns:v=\"urn:v\" v:name=\"other\"/>" << QStringList {}
        << "Wrong name!";
    QTest::newRow("entries before a failed check stay")
        << head + "<r><file name=\"a\" path=\"bin\" action=\"add\"/><package name=\"x\"/></r>"
        << QStringList {"a"} << "Wrong name!";
    QTest::newRow("malformed after the third entry")
        << head + pkg
            + "<file name=\"a\" path=\"bin\" action=\"add\"/>"
              "<file name=\"b\" path=\"bin\" action=\"add\"/>"
              "<file name=\"c\" path=\"bin\" action=\"add\"/>"
              "<<file name=\"d\" path=\"bin\" action=\"add\"/></package>"
        << QStringList {"a", "b", "c"}
        << "The manifest of package core is damaged, so it cannot be installed.";
}

void TestVornUpdatePackage::manifestRules()
{
    QFETCH(QByteArray, manifest);
    QFETCH(QStringList, installed);
    QFETCH(QString, message);
    QVERIFY(fx->writeArchive(
        "/core.zip",
        {{"core.xml", manifest}, {"bin/a", "a"}, {"bin/b", "b"}, {"bin/c", "c"}, {"bin/d", "d"}}));
    const auto offer = PackageFixture::offer();
    MessageBoxAnswerer answerer;
    VornUpdatePackage package(offer.identity, offer.archivePath, testInstallation());
    QStringList files;
    const Failure failure = package.install(fx->downloads, files);
    QCOMPARE(failure.text(), message);
    QCOMPARE(failure.isFailure(), !message.isEmpty());

    QStringList present;
    for (const QString name : {"a", "b", "c", "d"}) {
        if (QFileInfo::exists(fx->root + "/bin/" + name))
            present << name;
    }
    QCOMPARE(present, installed);
    // The run shows the failure, never the package.
    QCOMPARE(answerer.count(), 0);
}

void TestVornUpdatePackage::emptyArchive()
{
    QVERIFY(fx->writeArchive("/core.zip", {}));
    const TreeSnapshot before = TreeSnapshot::take(fx->root);
    const auto offer = PackageFixture::offer();
    MessageBoxAnswerer answerer;
    VornUpdatePackage package(offer.identity, offer.archivePath, testInstallation());
    QStringList files;
    // Nothing to install is a failure, never an installed package.
    const Failure failure = package.install(fx->downloads, files);
    QVERIFY(files.isEmpty());
    QCOMPARE(answerer.count(), 0);
    QCOMPARE(failure.kind(), Failure::Package);
    QCOMPARE(failure.text(),
             QStringLiteral("Package core holds no manifest, so it cannot be installed."));
    QVERIFY(TreeSnapshot::take(fx->root) == before);
}

void TestVornUpdatePackage::manifestWithoutFiles()
{
    QVERIFY(fx->writeArchive("/core.zip",
                             {{"core.xml", PackageFixture::manifest("")},
                              {"docs/", ""},
                              {"docs/core.xml", "listed"},
                              {"lib/libnew.so", "new lib"}}));
    const TreeSnapshot before = TreeSnapshot::take(fx->root);
    const auto offer = PackageFixture::offer();
    VornUpdatePackage package(offer.identity, offer.archivePath, testInstallation());
    QStringList files;
    QVERIFY(!package.install(fx->downloads, files));
    QCOMPARE(files, QStringList({" - docs/core.xml", " - lib/libnew.so"}));
    QVERIFY(TreeSnapshot::take(fx->root) == before);
}

void TestVornUpdatePackage::archiveBase_data()
{
    QTest::addColumn<QString>("link");
    QTest::addColumn<QString>("archiveBase");
    QTest::newRow("one segment") << "http://localhost/app.zip"
                                 << "/app";
    QTest::newRow("several segments") << "http://localhost:8080/updates/im-core.zip?x=1"
                                      << "/updates/im-core";
    QTest::newRow("shorter than the suffix") << "http://localhost/ab"
                                             << "";
}

void TestVornUpdatePackage::archiveBase()
{
    QFETCH(QString, link);
    QFETCH(QString, archiveBase);
    const auto offer = PackageFixture::offer("app", link);
    VornUpdatePackage package(offer.identity, offer.archivePath, testInstallation());
    QCOMPARE(package.getArchiveBase(), archiveBase);
    QCOMPARE(package.getComponentName(), QString("core"));
}

void TestVornUpdatePackage::failureIsReportedAndUnwound_data()
{
    QTest::addColumn<int>("scenario");
    QTest::addColumn<QString>("message"); // "@D" download dir, "@R" root, "%1" error text
    // Paths under the root that the package added where nothing stood; they stay after unwind.
    QTest::addColumn<QStringList>("added");

    const QStringList none;
    const QStringList tool {"new", "new/tool"};
    QTest::newRow("archive missing")
        << int(ArchiveMissing) << "Unable to open update archive" << none;
    QTest::newRow("archive not a zip")
        << int(ArchiveNotZip) << "Unable to open update archive" << none;
    QTest::newRow("file cannot be created")
        << int(FileCannotBeCreated) << "Cannot create file sub/x (%1)" << none;
    QTest::newRow("entry cannot be opened")
        << int(EntryCannotBeOpened) << "Cannot extract update file (bin/im-client)!" << none;
    QTest::newRow("entry cannot be read")
        << int(EntryCannotBeRead) << "Cannot read file from archive!" << none;
    QTest::newRow("wrong project") << int(WrongProject) << "Wrong project!" << tool;
    QTest::newRow("wrong name") << int(WrongName) << "Wrong name!" << tool;
    QTest::newRow("wrong type") << int(WrongType) << "Wrong type!" << tool;
    QTest::newRow("add source missing")
        << int(AddSourceMissing) << "Cannot copy file @D/core//bin/im-client to @R/bin/im-client!"
        << tool;
    QTest::newRow("zip slip") << int(ZipSlip) << "Cannot extract update file (../evil)!" << none;
    QTest::newRow("checksum mismatch")
        << int(ChecksumMismatch) << "Cannot read file from archive!" << none;
    QTest::newRow("entry named like the archive")
        << int(EntryOverwritesArchive) << "Cannot extract update file (core.zip)!" << none;
    QTest::newRow("entry in the unwind directory")
        << int(EntryInUnwindDir) << "Cannot extract update file (unwind/bin/im-client)!" << none;
    QTest::newRow("backup fails") << int(BackupFails)
                                  << "Cannot copy file @R/new to @D/core//unwind/new!" << tool;
    QTest::newRow("declares 1 GiB")
        << int(DeclaresGigabyte)
        << "Package core would unpack to 1074 MB, more than a package may, so it is not unpacked."
        << none;
    QTest::newRow("add through a directory link")
        << int(AddBeyondLink)
        << "Cannot change @R/lib/libold.so: a symbolic link stands in its way, so the package is "
           "not installed."
        << tool;
    QTest::newRow("remove through a directory link")
        << int(RemoveBeyondLink)
        << "Cannot change @R/lib/libold.so: a symbolic link stands in its way, so the package is "
           "not installed."
        << none;
    QTest::newRow("entries share bytes")
        << int(EntriesShareBytes)
        << "Package core is damaged: its files overlap in the archive, so it is not unpacked."
        << none;
}

void TestVornUpdatePackage::failureIsReportedAndUnwound()
{
    QFETCH(int, scenario);
    QFETCH(QString, message);
    QFETCH(QStringList, added);

    QString link = "http://localhost/core.zip";
    // A directory beside the installation, which a link inside may name.
    const QString elsewhere = fx->base + "/elsewhere";
    QVERIFY(writeFile(elsewhere + "/libold.so", "another program's lib"));
    const TreeSnapshot elsewhereBefore = TreeSnapshot::take(elsewhere);
    const QByteArray client
        = "new client, long enough to be worth deflating: " + QByteArray(200, 'c');
    QList<Entry> entries {{"core.xml", workedManifest}, {"bin/im-client", client}};
    QByteArray zip;
    const auto writeDamaged = [&](auto damage) {
        QVERIFY(ZipBuilder(entries).write(fx->base + "/scratch.zip"));
        zip = readFile(fx->base + "/scratch.zip");
        damage();
        QVERIFY(writeFile(fx->downloadDir + "/core.zip", zip));
    };

    switch (Scenario(scenario)) {
    case ArchiveMissing:
        break;
    case ArchiveNotZip:
        QVERIFY(writeFile(fx->downloadDir + "/core.zip", "PK but not a zip"));
        break;
    case FileCannotBeCreated:
        QVERIFY(writeFile(fx->downloadDir + "core/sub", "a file, not a directory"));
        QVERIFY(fx->writeArchive("/core.zip", {{"core.xml", workedManifest}, {"sub/x", "x"}}));
        break;
    case EntryCannotBeOpened:
        entries[1].stored = true;
        writeDamaged([&] { QVERIFY(TestZip::setMethod(zip, "bin/im-client", 14)); });
        break;
    case EntryCannotBeRead:
        // A reserved block type makes inflate fail at the first byte.
        writeDamaged([&] { zip[TestZip::dataOffset(zip, "bin/im-client")] = char(0xff); });
        break;
    case WrongProject:
        QVERIFY(fx->writeArchive(
            "/core.zip",
            appliedEntries(appliedThen("<package project=\"vorn\" name=\"core\" type=\"app\"/>"))));
        break;
    case WrongName:
        QVERIFY(fx->writeArchive(
            "/core.zip",
            appliedEntries(appliedThen("<package project=\"im\" name=\"Core\" type=\"app\"/>"))));
        break;
    case WrongType:
        QVERIFY(fx->writeArchive(
            "/core.zip",
            appliedEntries(appliedThen("<package project=\"im\" name=\"core\" type=\"apps\"/>"))));
        break;
    case AddSourceMissing:
        QVERIFY(fx->writeArchive(
            "/core.zip",
            appliedEntries(appliedThen(PackageFixture::fileElement("im-client", "bin", "add")))));
        break;
    case ZipSlip:
        QVERIFY(fx->writeArchive("/core.zip", {{"core.xml", workedManifest}, {"../evil", "x"}}));
        break;
    case ChecksumMismatch:
        entries[1].stored = true;
        writeDamaged([&] { zip[TestZip::dataOffset(zip, "bin/im-client") + 5] ^= 0x01; });
        break;
    case EntryOverwritesArchive:
        link = "http://localhost/core/core.zip";
        QVERIFY(fx->writeArchive("/core/core.zip",
                                 {{"core/core.xml", workedManifest}, {"core.zip", "not a zip"}}));
        break;
    case EntryInUnwindDir:
        QVERIFY(fx->writeArchive(
            "/core.zip", {{"core.xml", workedManifest}, {"unwind/bin/im-client", "forged"}}));
        break;
    case BackupFails:
        // A directory cannot be copied into the unwind directory.
        QVERIFY(fx->writeArchive(
            "/core.zip",
            appliedEntries(appliedThen(PackageFixture::fileElement("new", "", "remove")))));
        break;
    case DeclaresGigabyte:
        writeDamaged([&] { QVERIFY(TestZip::setDeclaredSize(zip, "bin/im-client", 1u << 30)); });
        break;
    case EntriesShareBytes:
        entries.append({"bin/im-clones", client});
        writeDamaged([&] { QVERIFY(TestZip::shareBytes(zip, "bin/im-clones", "bin/im-client")); });
        break;
    case AddBeyondLink:
    case RemoveBeyondLink:
        QVERIFY(QDir(fx->root + "/lib").removeRecursively());
        QVERIFY(QFile::link(elsewhere, fx->root + "/lib"));
        QVERIFY(fx->writeArchive(
            "/core.zip",
            Scenario(scenario) == AddBeyondLink
                ? appliedEntries(appliedThen(""))
                : QList<Entry> {{"core.xml",
                                 PackageFixture::manifest(
                                     PackageFixture::fileElement("libold.so", "lib", "remove"))}}));
        break;
    }

    const TreeSnapshot before = TreeSnapshot::take(fx->root);
    const auto offer = PackageFixture::offer("app", link);
    MessageBoxAnswerer answerer;
    VornUpdatePackage package(offer.identity, offer.archivePath, testInstallation());
    QStringList files;
    const Failure failure = package.install(fx->downloads, files);
    QVERIFY(failure);

    // The system's error is carried only where the run's question names it too.
    if (message.contains("%1")) {
        QVERIFY(failure.systemError() != 0);
        message = message.arg(qt_error_string(failure.systemError()));
    } else {
        QCOMPARE(failure.systemError(), 0);
    }
    message.replace("@D", fx->downloadDir).replace("@R", fx->root);
    QCOMPARE(answerer.count(), 0);
    QCOMPARE(failure.text(), message);
    // The file that an "add" was about to replace is never left missing.
    QCOMPARE(readFile(fx->root + "/bin/im-client"), QByteArray("old client"));

    QVERIFY(package.unwind(fx->downloads));
    const TreeSnapshot after = TreeSnapshot::take(fx->root);
    for (const QString &path : added) {
        QVERIFY2(after.entries().contains(path), qPrintable(path));
        QVERIFY(!before.entries().contains(path));
    }
    QStringList differences;
    for (auto it = after.entries().cbegin(); it != after.entries().cend(); ++it) {
        if (!added.contains(it.key()) && before.entries().value(it.key()) != it.value())
            differences << it.key();
    }
    for (auto it = before.entries().cbegin(); it != before.entries().cend(); ++it) {
        if (!after.entries().contains(it.key()))
            differences << it.key();
    }
    QVERIFY2(differences.isEmpty(), qPrintable(differences.join(", ")));
    QCOMPARE(answerer.count(), 0);
    QVERIFY(TreeSnapshot::take(elsewhere) == elsewhereBefore);
}

void TestVornUpdatePackage::addReplacesByRename()
{
    // A program that still runs the old file keeps it: the new one comes in under the name.
    const QString target = fx->root + "/bin/im-client";
    const QString holder = fx->base + "/still-running";
    QCOMPARE(::link(QFile::encodeName(target).constData(), QFile::encodeName(holder).constData()),
             0);
    QVERIFY(fx->writeArchive("/core.zip",
                             {{"core.xml", workedManifest}, {"bin/im-client", "new client"}}));
    const auto offer = PackageFixture::offer();
    VornUpdatePackage package(offer.identity, offer.archivePath, testInstallation());
    QStringList files;
    QVERIFY(!package.install(fx->downloads, files));
    QCOMPARE(readFile(target), QByteArray("new client"));
    QCOMPARE(readFile(holder), QByteArray("old client"));
    QCOMPARE(QDir(fx->root + "/bin").entryList(QDir::Files | QDir::Hidden),
             QStringList({"im-client"}));
}

void TestVornUpdatePackage::pluginDirectoryAndFallbackModes()
{
    const QString home = fx->base + "/home/user";
    QVERIFY(QDir().mkpath(home));
    qputenv("HOME", QFile::encodeName(home));
    const mode_t oldMask = ::umask(077);
    const QByteArray manifest = "<package project=\"im\" name=\"spell\" type=\"plugin\">"
        + PackageFixture::fileElement("libspell.so", "", "add")
        + PackageFixture::fileElement("spell-tool", "bin", "add") + "</package>";
    QVERIFY(fx->writeArchive(
        "/spell.zip",
        {{"spell.xml", manifest}, {"libspell.so", "library"}, {"bin/spell-tool", "tool"}}));
    // Unpacking truncates, so this file keeps its owner execute bit.
    QVERIFY(writeFile(fx->downloadDir + "spell/bin/spell-tool", "", 0700));
    setApplicationArguments({"-root", fx->base + "/nowhere"});

    const auto offer = PackageFixture::offer("plugin", "http://localhost/spell.zip", "im", "spell");
    VornUpdatePackage package(offer.identity, offer.archivePath, testInstallation());
    QVERIFY(package.isValid());
    QCOMPARE(package.getInstallDir(), home + "/.Vorn/plugins/");
    QCOMPARE(package.getPermissions(), QFile::Permissions());
    QStringList files;
    const Failure failure = package.install(fx->downloads, files);
    ::umask(oldMask);
    QVERIFY2(!failure, qPrintable(failure.text()));

    QCOMPARE(fileMode(home + "/.Vorn"), 0755);
    QCOMPARE(fileMode(home + "/.Vorn/plugins"), 0755);
    QCOMPARE(fileMode(home + "/.Vorn/plugins/bin"), 0755);
    QCOMPARE(fileMode(home + "/.Vorn/plugins/libspell.so"), 0644);
    QCOMPARE(fileMode(home + "/.Vorn/plugins/bin/spell-tool"), 0744);
    QCOMPARE(readFile(home + "/.Vorn/plugins/bin/spell-tool"), QByteArray("tool"));
}

void TestVornUpdatePackage::pluginTakesModeOfItsDirectory()
{
    const QString home = fx->base + "/home/user";
    QVERIFY(QDir().mkpath(home + "/.Vorn/plugins"));
    ::chmod(QFile::encodeName(home + "/.Vorn/plugins").constData(), 0750);
    qputenv("HOME", QFile::encodeName(home));
    QVERIFY(fx->writeArchive(
        "/spell.zip",
        {{"spell.xml",
          "<package>" + PackageFixture::fileElement("libspell.so", "", "add") + "</package>"},
         {"libspell.so", "library"}}));
    const auto offer = PackageFixture::offer("plugin", "http://localhost/spell.zip", "im", "spell");
    VornUpdatePackage package(offer.identity, offer.archivePath, testInstallation());
    QStringList files;
    QVERIFY(!package.install(fx->downloads, files));
    QCOMPARE(fileMode(home + "/.Vorn/plugins/libspell.so"), 0750);
}

void TestVornUpdatePackage::rootCheck_data()
{
    QTest::addColumn<QStringList>("arguments"); // "@" stands for the scratch directory
    QTest::addColumn<QString>("installDir"); // empty: the check fails
    QTest::newRow("no -root") << QStringList {"-q"} << "";
    QTest::newRow("-root last") << QStringList {"-q", "-root"} << "";
    QTest::newRow("no messenger in the root") << QStringList {"-root", "@/opt"} << "";
    QTest::newRow("messenger in the root") << QStringList {"-root", "@/opt/im"} << "@/opt/im";
    QTest::newRow("first of two wins")
        << QStringList {"-root", "@/opt/im", "-root", "@/opt"} << "@/opt/im";
    QTest::newRow("first of two wins, failing")
        << QStringList {"-root", "@/opt", "-root", "@/opt/im"} << "";
    QTest::newRow("option compared exactly") << QStringList {"-Root", "@/opt/im"} << "";
}

void TestVornUpdatePackage::rootCheck()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, installDir);
    installDir.replace("@", fx->base);
    for (QString &argument : arguments)
        argument.replace("@", fx->base);
    setApplicationArguments(arguments);
    QVERIFY(fx->writeArchive("/core.zip",
                             {{"core.xml", workedManifest}, {"bin/im-client", "new client"}}));

    const auto offer = PackageFixture::offer();
    MessageBoxAnswerer answerer;
    VornUpdatePackage package(offer.identity, offer.archivePath, testInstallation());
    QCOMPARE(package.isValid(), !installDir.isEmpty());
    QCOMPARE(package.getInstallDir(), installDir);
    // The run shows the failure and ends the application (see the installation run's tests).
    QCOMPARE(answerer.count(), 0);
    if (package.isValid()) {
        QVERIFY(!package.rootFailure());
        return;
    }
    QCOMPARE(package.rootFailure().kind(), Failure::Installation);
    QCOMPARE(package.rootFailure().text(), QString("Cannot run update!"));

    const TreeSnapshot before = TreeSnapshot::take(fx->base);
    QStringList files;
    QCOMPARE(package.install(fx->downloads, files).text(), QString("Cannot run update!"));
    QVERIFY(files.isEmpty());
    QVERIFY(TreeSnapshot::take(fx->base) == before);
    QVERIFY(package.unwind(fx->downloads));
    QCOMPARE(answerer.count(), 0);
}

VORN_PACKAGE_TEST_MAIN(TestVornUpdatePackage)

#include "tst_vornupdatepackage.moc"
