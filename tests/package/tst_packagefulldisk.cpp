// Runs in a private mount namespace, where it may mount small file systems to fill them.
#include "messageboxanswerer.h"
#include "packagefixture.h"
#include "testapplication.h"
#include "testfiles.h"
#include "testinstallation.h"
#include "treesnapshot.h"
#include "vornupdatepackage.h"

#include <QDir>
#include <QFileInfo>
#include <QTest>

#include <sys/mount.h>

#include <cerrno>
#include <cstring>

namespace {

// Compresses to a few kilobytes and unpacks to three times the size of the small disk.
const QByteArray large(3 * 1024 * 1024, '\0');

QByteArray manifestWith(const QByteArray &name, const QByteArray &path, const QByteArray &action)
{
    return PackageFixture::manifest(PackageFixture::fileElement(name, path, action));
}

} // namespace

class TestPackageFullDisk : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void unpackingOntoFullDisk();
    void backupOntoFullDisk();
    void backupIntoReadOnlyDirectory();
    void installationOntoFullDisk();

private:
    // A 1 MiB file system over dir; skips the test outside a mount namespace.
    bool mountSmallDisk(const QString &dir, bool readOnly = false);
    void expectFailure(const QString &link, const QString &message, const QStringList &intactFiles);

    std::unique_ptr<PackageFixture> fx;
    QStringList mounts;
};

void TestPackageFullDisk::init()
{
    fx = std::make_unique<PackageFixture>();
    QVERIFY(fx->isValid());
}

void TestPackageFullDisk::cleanup()
{
    while (!mounts.isEmpty())
        ::umount2(QFile::encodeName(mounts.takeLast()).constData(), MNT_DETACH);
    fx.reset();
}

bool TestPackageFullDisk::mountSmallDisk(const QString &dir, bool readOnly)
{
    QDir().mkpath(dir);
    if (::mount("tmpfs", QFile::encodeName(dir).constData(), "tmpfs", readOnly ? MS_RDONLY : 0,
                "size=1m,mode=0755")
        != 0) {
        qWarning("mount: %s", std::strerror(errno));
        return false;
    }
    mounts << dir;
    // The run opens its download directory where it then stands.
    fx->downloads.open();
    return true;
}

// Installs the package, expects the message and the files in root untouched, then unwinds
// and expects root as it was.
void TestPackageFullDisk::expectFailure(const QString &link, const QString &message,
                                        const QStringList &intactFiles)
{
    QHash<QString, QByteArray> bytes;
    for (const QString &file : intactFiles)
        bytes.insert(file, readFile(fx->root + "/" + file));
    const TreeSnapshot before = TreeSnapshot::take(fx->root);
    const auto offer = PackageFixture::offer("app", link);
    MessageBoxAnswerer answerer;
    VornUpdatePackage package(offer.identity, offer.archivePath, testInstallation());
    QStringList files;
    const Failure failure = package.install(fx->downloads, files);

    QCOMPARE(answerer.count(), 0);
    QCOMPARE(failure.text(), message);
    QCOMPARE(failure.systemError(), 0);
    for (const QString &file : intactFiles) {
        QCOMPARE(readFile(fx->root + "/" + file), bytes.value(file));
        const QStringList inDirectory = QDir(QFileInfo(fx->root + "/" + file).absolutePath())
                                            .entryList(QDir::Files | QDir::Hidden);
        QVERIFY2(inDirectory.filter(".vorn-update-").isEmpty(), qPrintable(inDirectory.join(" ")));
    }
    QVERIFY(package.unwind(fx->downloads));
    const TreeSnapshot after = TreeSnapshot::take(fx->root);
    QVERIFY2(after == before, qPrintable(before.differences(after)));
}

void TestPackageFullDisk::unpackingOntoFullDisk()
{
    if (!mountSmallDisk(fx->downloadDir))
        QSKIP("needs a private mount namespace");
    QVERIFY(fx->writeArchive(
        "/core.zip",
        {{"core.xml", manifestWith("im-client", "bin", "add")}, {"bin/im-client", large}}));
    // Refused before a byte is written; the archive takes a little of the 1 MiB.
    expectFailure("http://localhost/core.zip",
                  "Package core needs 4 MB to unpack, but the download directory " + fx->downloadDir
                      + " has room for 1 MB, so it is not unpacked.",
                  {"bin/im-client"});
    QVERIFY(!QFileInfo::exists(fx->extractDir() + "bin/im-client"));
}

void TestPackageFullDisk::backupOntoFullDisk()
{
    QVERIFY(writeFile(fx->root + "/lib/big.so", QByteArray(2 * 1024 * 1024, 'b')));
    if (!mountSmallDisk(fx->downloadDir))
        QSKIP("needs a private mount namespace");
    QVERIFY(fx->writeArchive("/core.zip", {{"core.xml", manifestWith("big.so", "lib", "remove")}}));
    expectFailure("http://localhost/core.zip",
                  "Cannot copy file " + fx->root + "/lib/big.so to " + fx->unwindDir()
                      + "lib/big.so!",
                  {"lib/big.so"});
}

void TestPackageFullDisk::backupIntoReadOnlyDirectory()
{
    if (!mountSmallDisk(fx->downloadDir + "core/unwind", true))
        QSKIP("needs a private mount namespace");
    QVERIFY(fx->writeArchive(
        "/core.zip",
        {{"core.xml", manifestWith("im-client", "bin", "add")}, {"bin/im-client", "new client"}}));
    expectFailure("http://localhost/core.zip",
                  "Cannot copy file " + fx->root + "/bin/im-client to " + fx->unwindDir()
                      + "bin/im-client!",
                  {"bin/im-client"});
}

void TestPackageFullDisk::installationOntoFullDisk()
{
    if (!mountSmallDisk(fx->root))
        QSKIP("needs a private mount namespace");
    QVERIFY(writeFile(fx->root + "/vorn", "#!/bin/sh\n", 0755));
    QVERIFY(writeFile(fx->root + "/bin/im-client", "old client"));
    QVERIFY(fx->writeArchive(
        "/core.zip",
        {{"core.xml", manifestWith("im-client", "bin", "add")}, {"bin/im-client", large}}));
    expectFailure("http://localhost/core.zip",
                  "Cannot copy file " + fx->extractDir() + "/bin/im-client to " + fx->root
                      + "/bin/im-client!",
                  {"bin/im-client"});
}

VORN_PACKAGE_TEST_MAIN(TestPackageFullDisk)

#include "tst_packagefulldisk.moc"
