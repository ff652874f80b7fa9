#include "deltadiffer.h"
#include "enginerun.h"
#include "httptestserver.h"
#include "keypair.h"
#include "manualclock.h"
#include "messageboxanswerer.h"
#include "packagestatement.h"
#include "programrun.h"
#include "serverprocess.h"
#include "standinmessenger.h"
#include "testfiles.h"
#include "treesnapshot.h"
#include "vorndownloaddialog.h"
#include "vornupdaterengine.h"
#include "zipbuilder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using Response = HttpTestServer::Response;

QByteArray child(const QByteArray &name, const QByteArray &text)
{
    return "<" + name + ">" + text + "</" + name + ">";
}

// A plug-in package as a publisher makes it: the manifest and one file, NAME.txt.
QByteArray pluginPackage(const QByteArray &name)
{
    return ZipBuilder()
        .addFile(name + ".xml",
                 ZipBuilder::manifest("vorn", name, "plugin", {{"", name + ".txt", "add"}}))
        .addFile(name + ".txt", "plug-in " + name)
        .bytes();
}

QByteArray alteredByOneByte(QByteArray bytes)
{
    const qsizetype at = bytes.size() / 2;
    bytes[at] = char(bytes.at(at) ^ 0x01);
    return bytes;
}

QByteArray sha256(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

// The signature of a plug-in package offered by replyOffering(): version 2.0 of vorn's NAME.
QByteArray signature(const QByteArray &package, const KeyPair &key, const QByteArray &name = "core",
                     const QByteArray &version = "2.0")
{
    return child("signature",
                 key.signPackage(package, {"vorn", name, "plugin", version, -1, Digest()}));
}

// What a publisher's catalogue says of a signed package: digest, size and signature.
QByteArray vouched(const QByteArray &package, const KeyPair &key, const QByteArray &name = "core",
                   const QByteArray &version = "2.0")
{
    return child("sha256", sha256(package)) + child("size", QByteArray::number(package.size()))
        + signature(package, key, name, version);
}

// A manifest that another local user left where everyone can write, and the address that would
// have it read as a patch's own: its name with ".zip", three levels above the download directory.
QString plantedManifest()
{
    return QCoreApplication::applicationDirPath() + "/planted.xml";
}

QByteArray plantedManifestLink()
{
    return "/../../.." + QFile::encodeName(plantedManifest()).chopped(4) + ".zip";
}

QString wrongSha256(const QString &name)
{
    return QStringLiteral("Package %1 does not match the checksum announced by the update server: "
                          "it was damaged or altered on the way, so it will not be installed.")
        .arg(name);
}

QString badSignature(const QString &name)
{
    return QStringLiteral("The signature of package %1 is not valid: the package was altered or "
                          "not released by its publisher, so it will not be installed.")
        .arg(name);
}

QString wrongSize(const QString &name, qint64 size)
{
    return QStringLiteral(
               "Package %1 does not have the size announced by the update server (%2 bytes).")
        .arg(name)
        .arg(size);
}

using Files = QMap<QString, QByteArray>;

// The plug-in core as installed (1.0) and as released (2.0): a changed text and library, an
// unchanged file, a new one, and one that is gone.
Files releaseOne()
{
    return {{"core.txt", "plug-in core 1.0"},
            {"same.txt", "unchanged"},
            {"lib/core.so", HttpTestServer::pattern(0, 300000)},
            {"lib/gone.so", "gone in 2.0"}};
}

Files releaseTwo()
{
    QByteArray library = HttpTestServer::pattern(0, 300000);
    library.replace(1000, 3, "2.0").insert(150000, "inserted in 2.0");
    return {{"core.txt", "plug-in core 2.0"},
            {"same.txt", "unchanged"},
            {"lib/core.so", library},
            {"new.txt", "new in 2.0"}};
}

bool writeFiles(const QString &dir, const Files &files)
{
    for (auto file = files.cbegin(); file != files.cend(); ++file) {
        if (!writeFile(dir + "/" + file.key(), file.value()))
            return false;
    }
    return true;
}

// The whole 2.0 package, as vorn-package-builder makes it.
QByteArray fullPackage()
{
    const Files files = releaseTwo();
    QList<QList<QByteArray>> entries;
    ZipBuilder zip;
    for (auto file = files.cbegin(); file != files.cend(); ++file) {
        const QFileInfo info(file.key());
        entries.append(
            {info.path() == "." ? "" : info.path().toLatin1(), info.fileName().toLatin1(), "add"});
        zip.addFile(file.key().toLatin1(), file.value());
    }
    entries.append({"lib", "gone.so", "remove"});
    zip.addFile("core.xml", ZipBuilder::manifest("vorn", "core", "plugin", entries));
    return zip.bytes();
}

// What is wrong with the patch, or with the installation it meets, or what happens meanwhile.
enum class Spoil {
    Nothing,
    Delta,
    ResultDigest,
    InstalledChanged, // the user rebuilt an installed file
    InstalledFifo, // a FIFO stands where a patched file was installed
    LinkRenamed, // the link is changed on the way, so that it names no manifest of the patch
    OverBudget, // a delta declares 200 MiB
    ClosedWhileRebuilding, // a delta that writes 30 MB, and the window closed meanwhile
    PatchHeld, // the patch's server sends its first bytes, then nothing until the deadline
    DiskFull // the download directory has room for the patch, not for the files it rebuilds
};

// The patch package from 1.0 to 2.0 at /core-patch.zip: deltas for the changed files.
QByteArray patchPackage(Spoil spoil)
{
    const Files before = releaseOne();
    const Files after = releaseTwo();
    ZipBuilder zip;
    QByteArray manifest = "<package project='vorn' name='core' type='plugin'>\n"
                          "<file name='new.txt' path='' action='add'/>\n"
                          "<file name='gone.so' path='lib' action='remove'/>\n";
    zip.addFile("new.txt", after.value("new.txt"));
    for (const QString &file : {QStringLiteral("core.txt"), QStringLiteral("lib/core.so")}) {
        const bool library = file == "lib/core.so";
        QByteArray delta = DeltaDiffer::make(before.value(file),
                                             spoil == Spoil::ClosedWhileRebuilding && library
                                                 ? QByteArray(30 << 20, '\0')
                                                 : after.value(file));
        if (spoil == Spoil::Delta && library)
            delta = alteredByOneByte(delta);
        if (spoil == Spoil::OverBudget && library)
            qToLittleEndian<qint64>(qint64(200) << 20, delta.data() + 8);
        const QFileInfo info(file);
        manifest += "<file name='" + info.fileName().toLatin1() + "' path='"
            + (info.path() == "." ? QByteArray() : info.path().toLatin1())
            + "' action='patch' from-sha256='" + sha256(before.value(file)) + "' sha256='"
            + sha256(spoil == Spoil::ResultDigest ? before.value(file) : after.value(file))
            + "'/>\n";
        zip.addFile(file.toLatin1(), delta);
    }
    zip.addFile("core-patch.xml", manifest + "</package>\n");
    return zip.bytes();
}

} // namespace

class TestAuthenticity : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    // Packages the server's reply vouches for.
    void accepted_data();
    void accepted();
    void alteredAfterPublishing_data();
    void alteredAfterPublishing();
    void signatureRejected_data();
    void signatureRejected();
    void refusedBeforeAnyRequest_data();
    void refusedBeforeAnyRequest();
    void hostileOffer_data();
    void hostileOffer();
    void bodyBeyondAnnouncedSize_data();
    void bodyBeyondAnnouncedSize();
    void announcedSizeDrivesProgress_data();
    void announcedSizeDrivesProgress();

    // Patch packages, and the whole package whenever a patch does not fit.
    void patchedOrWhole_data();
    void patchedOrWhole();

    // The download directory.
    void unsafeDownloadDirectory_data();
    void unsafeDownloadDirectory();
    void plantedLinkNotFollowed_data();
    void plantedLinkNotFollowed();

    // From the package builder through the reference server to the installed file.
    void publishedWithTheTools_data();
    void publishedWithTheTools();
};

void TestAuthenticity::initTestCase()
{
    Q_INIT_RESOURCE(updater);
    // The reference server answers only what the messenger asks for: a stand-in messenger
    // asks for the plug-in "core". The fix-up script of a successful run does nothing.
    const QString dir = QCoreApplication::applicationDirPath();
    QVERIFY(StandInMessenger::write("echo \"<s><update><component project='vorn' name='core' "
                                    "type='plugin' version='1.0' /></update></s>\""));
    QVERIFY(writeFile(dir + "/fix.sh", "touch \"$1/fix-ran\"\n"));
}

void TestAuthenticity::cleanupTestCase()
{
    const QString dir = QCoreApplication::applicationDirPath();
    QFile::remove(StandInMessenger::path());
    QFile::remove(dir + "/fix.sh");
    QFile::remove(dir + "/fix-ran");
}

void TestAuthenticity::accepted_data()
{
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<QByteArray>("children");
    // Offered beside core to a messenger that does not report them.
    QTest::addColumn<QList<Offer>>("newPlugins");

    const QByteArray package = pluginPackage("core");
    const KeyPair first = keyPair(1);
    const KeyPair second = keyPair(2);
    const QByteArray size = QByteArray::number(package.size());
    const auto unreported = [](const QByteArray &name, const QByteArray &children,
                               const QByteArray &version = "2.0") {
        Offer offer {name, {}, children, version};
        offer.requested = false;
        return offer;
    };

    QTest::newRow("unsigned, no key") << QStringList() << QByteArray() << QList<Offer>();
    QTest::newRow("checksum and size, no key")
        << QStringList() << child("sha256", sha256(package)) + child("size", size)
        << QList<Offer>();
    QTest::newRow("upper-case checksum with blanks around")
        << QStringList() << child("sha256", "\n  " + sha256(package).toUpper() + "\n  ")
        << QList<Offer>();
    QTest::newRow("signed with the key")
        << QStringList {first.publicBase64()} << vouched(package, first) << QList<Offer>();
    QTest::newRow("signed with the second of two keys")
        << QStringList {first.publicBase64(), second.publicBase64()} << vouched(package, second)
        << QList<Offer>();
    QTest::newRow("signature not looked at without a key")
        << QStringList() << child("signature", "not base64, and no key to check it with")
        << QList<Offer>();
    // A new plug-in has no installed version to be newer than: even an old one installs.
    QTest::newRow("new plug-ins the messenger did not report, no key")
        << QStringList() << QByteArray()
        << QList<Offer> {unreported("themes", {}), unreported("sounds", {}, "0.1")};
    QTest::newRow("new plug-ins the messenger did not report, signed")
        << QStringList {first.publicBase64()} << vouched(package, first)
        << QList<Offer> {unreported("themes", vouched(pluginPackage("themes"), first, "themes")),
                         unreported("sounds",
                                    vouched(pluginPackage("sounds"), first, "sounds", "0.1"),
                                    "0.1")};
}

void TestAuthenticity::accepted()
{
    QFETCH(QStringList, keys);
    QFETCH(QByteArray, children);
    QFETCH(QList<Offer>, newPlugins);

    EngineRun run(EngineRun::settings(keys));
    QVERIFY(run.ready);
    run.installWhenDownloaded();
    HttpTestServer &server = run.packageServer();
    server.serve("/core.zip", Response::ok(pluginPackage("core")));
    for (const Offer &offer : newPlugins)
        server.serve("/" + offer.name + ".zip", Response::ok(pluginPackage(offer.name)));
    QVERIFY(run.offer(QList<Offer> {{"core", {}, children}} + newPlugins));

    MessageBoxAnswerer answerer;
    run.engine.beginDownload();
    QTRY_VERIFY(run.installed());
    QCOMPARE(run.count("error"), 0);
    QCOMPARE(run.events.first(), QStringLiteral("file core"));
    QCOMPARE(run.events.mid(run.events.size() - 3),
             QStringList({"progress 100", "finished", "installed"}));
    QCOMPARE(answerer.count(), 0);
    QVERIFY(run.engine.isInstallSucceeded());
    QCOMPARE(readFile(run.plugin("core.txt")), QByteArray("plug-in core"));
    for (const Offer &offer : newPlugins) {
        QCOMPARE(readFile(run.plugin(offer.name + ".txt")), "plug-in " + offer.name);
        QVERIFY(run.engine.getLog().contains("Installing package " + offer.name + ":\n - "
                                             + offer.name + ".txt\n"));
    }
}

void TestAuthenticity::alteredAfterPublishing_data()
{
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<bool>("withChecksum");
    QTest::addColumn<bool>("withSignature");
    QTest::addColumn<QString>("text");

    const QStringList key {keyPair(1).publicBase64()};
    QTest::newRow("checksum, no key") << QStringList() << true << false << wrongSha256("core");
    QTest::newRow("checksum and signature, key") << key << true << true << wrongSha256("core");
}

// The package on the web server differs by one byte from the one that was published.
void TestAuthenticity::alteredAfterPublishing()
{
    QFETCH(QStringList, keys);
    QFETCH(bool, withChecksum);
    QFETCH(bool, withSignature);
    QFETCH(QString, text);

    const KeyPair key = keyPair(1);
    const QByteArray first = pluginPackage("first");
    const QByteArray published = pluginPackage("core");
    const auto vouchFor = [&](const QByteArray &package, const QByteArray &name) {
        if (withSignature)
            return vouched(package, key, name);
        return withChecksum ? child("sha256", sha256(package)) : QByteArray();
    };

    EngineRun run(EngineRun::settings(keys));
    QVERIFY(run.ready);
    run.installWhenDownloaded();
    HttpTestServer &server = run.packageServer();
    server.serve("/first.zip", Response::ok(first));
    server.serve("/core.zip", Response::ok(alteredByOneByte(published)));
    QVERIFY(run.offer(
        {{"first", {}, vouchFor(first, "first")}, {"core", {}, vouchFor(published, "core")}}));

    MessageBoxAnswerer answerer;
    run.engine.beginDownload();
    QTRY_VERIFY(run.over());
    QVERIFY(run.staysQuiet(server));
    QCOMPARE(run.events.last(), "error " + text);
    QCOMPARE(run.count("error"), 1);
    QCOMPARE(run.count("finished"), 0);
    QVERIFY(run.events.contains("file core"));
    // Nothing of the run is installed, not even the sound first package.
    QCOMPARE(run.count("installed"), 0);
    QVERIFY(run.nothingInstalled());
    QCOMPARE(answerer.count(), 0);
    QVERIFY(!QFileInfo::exists(run.file("core.zip")));
    QCOMPARE(readFile(run.file("first.zip")), first);
}

void TestAuthenticity::signatureRejected_data()
{
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<QByteArray>("children");
    QTest::addColumn<bool>("reported"); // whether the messenger reports core

    const QByteArray package = pluginPackage("core");
    const KeyPair first = keyPair(1);
    const KeyPair second = keyPair(2);
    const KeyPair stranger = keyPair(3);
    const QStringList key {first.publicBase64()};

    const QByteArray checksum
        = child("sha256", sha256(package)) + child("size", QByteArray::number(package.size()));
    QTest::newRow("signature of other bytes")
        << key << checksum + signature(alteredByOneByte(package), first) << true;
    QTest::newRow("signed with another key") << key << vouched(package, stranger) << true;
    QTest::newRow("signed with neither of two keys")
        << QStringList {first.publicBase64(), second.publicBase64()} << vouched(package, stranger)
        << true;
    // A genuine signature moved to another component or version.
    QTest::newRow("signed for another component")
        << key << checksum + signature(package, first, "emoticons") << true;
    QTest::newRow("signed for another version")
        << key << checksum + signature(package, first, "core", "1.5") << true;
    QTest::newRow("signature over the bytes alone")
        << key << checksum + child("signature", first.sign(package)) << true;
    QTest::newRow("signature with one bit flipped") << key
                                                    << checksum
            + child("signature",
                    alteredByOneByte(QByteArray::fromBase64(first.sign(package))).toBase64())
                                                    << true;
    // A component the messenger does not report is held to the same signature.
    QTest::newRow("unreported, signed for another component")
        << key << checksum + signature(package, first, "emoticons") << false;
}

void TestAuthenticity::signatureRejected()
{
    QFETCH(QStringList, keys);
    QFETCH(QByteArray, children);
    QFETCH(bool, reported);

    EngineRun run(EngineRun::settings(keys));
    QVERIFY(run.ready);
    run.installWhenDownloaded();
    HttpTestServer &server = run.packageServer();
    server.serve("/core.zip", Response::ok(pluginPackage("core")));
    Offer offer {"core", {}, children};
    offer.requested = reported;
    QVERIFY(run.offer({offer}));

    run.engine.beginDownload();
    QTRY_VERIFY(run.over());
    QVERIFY(run.staysQuiet(server));
    QCOMPARE(run.events.first(), QStringLiteral("file core"));
    QCOMPARE(run.events.last(), "error " + badSignature("core"));
    QCOMPARE(run.count("finished"), 0);
    QVERIFY(run.nothingInstalled());
    QCOMPARE(server.requestLines(), QStringList({"HEAD /core.zip", "GET /core.zip"}));
    QVERIFY(!QFileInfo::exists(run.file("core.zip")));
}

void TestAuthenticity::refusedBeforeAnyRequest_data()
{
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<QList<Offer>>("offers");
    QTest::addColumn<QString>("text");

    const QByteArray package = pluginPackage("core");
    const KeyPair key = keyPair(1);
    const QStringList keys {key.publicBase64()};
    const QByteArray sound = vouched(package, key);
    const QString notSigned
        = QStringLiteral("Package %1 is not signed, so it will not be installed.");
    const QString malformed
        = QStringLiteral("The update server sent a malformed %1 for package %2.");

    QTest::newRow("no signature while a key is set")
        << keys << QList<Offer> {{"core", {}, child("sha256", sha256(package))}}
        << notSigned.arg("core");
    QTest::newRow("second package without signature")
        << keys << QList<Offer> {{"core", {}, sound}, {"extra"}} << notSigned.arg("extra");
    QTest::newRow("empty signature while a key is set")
        << keys << QList<Offer> {{"core", {}, child("signature", "")}}
        << malformed.arg("signature", "core");
    QTest::newRow("signature not in base64")
        << keys << QList<Offer> {{"core", {}, child("signature", "@@" + key.sign(package).mid(2))}}
        << malformed.arg("signature", "core");
    QTest::newRow("signature too short")
        << keys << QList<Offer> {{"core", {}, child("signature", key.sign(package).left(44))}}
        << malformed.arg("signature", "core");
    QTest::newRow("checksum not in hex")
        << QStringList()
        << QList<Offer> {{"core", {}, child("sha256", "z" + sha256(package).mid(1))}}
        << malformed.arg("sha256", "core");
    QTest::newRow("checksum too short")
        << keys
        << QList<Offer> {{"core",
                          {},
                          child("sha256", sha256(package).left(40)) + signature(package, key)}}
        << malformed.arg("sha256", "core");
    QTest::newRow("signed, without the checksum and size the signature covers")
        << keys << QList<Offer> {{"core", {}, signature(package, key)}}
        << QStringLiteral("The update server did not send the size and checksum of package core, "
                          "which its signature covers, so it will not be installed.");
    QTest::newRow("size not a number")
        << QStringList() << QList<Offer> {{"core", {}, child("size", "12 kB")}}
        << malformed.arg("size", "core");
}

void TestAuthenticity::refusedBeforeAnyRequest()
{
    QFETCH(QStringList, keys);
    QFETCH(QList<Offer>, offers);
    QFETCH(QString, text);

    EngineRun run(EngineRun::settings(keys));
    QVERIFY(run.ready);
    run.installWhenDownloaded();
    HttpTestServer &server = run.packageServer();
    server.serve("/core.zip", Response::ok(pluginPackage("core")));
    server.serve("/extra.zip", Response::ok(pluginPackage("extra")));
    QVERIFY(run.offer(offers));
    const TreeSnapshot before = TreeSnapshot::take(run.temp.path());

    run.engine.beginDownload();
    QCOMPARE(run.events, QStringList({"error " + text}));
    QVERIFY(run.staysQuiet(server));
    QVERIFY(server.requests().isEmpty());
    QVERIFY(run.nothingInstalled());
    const TreeSnapshot after = TreeSnapshot::take(run.temp.path());
    QVERIFY2(after == before, qPrintable(before.differences(after)));
}

void TestAuthenticity::hostileOffer_data()
{
    QTest::addColumn<QList<Offer>>("offers");
    QTest::addColumn<QString>("text");

    const KeyPair key = keyPair(1);
    const QByteArray package = pluginPackage("core");
    const auto named = [&](const QByteArray &name) {
        return QList<Offer> {{name, "http://127.0.0.1/core.zip", vouched(package, key, name)}};
    };
    const auto linked = [&](const QByteArray &path) {
        return QList<Offer> {{"core", "http://127.0.0.1" + path, vouched(package, key)}};
    };
    const auto versioned = [&](const QByteArray &version) {
        Offer offer {"core", {}, vouched(package, key, "core", version)};
        offer.version = version;
        return QList<Offer> {offer};
    };
    const QString badName = QStringLiteral("The update server named a component \"%1\", which "
                                           "cannot be used as a name, so no update is downloaded.");
    const QString workPlace = QStringLiteral("Refusing to store package %1: its address names a "
                                             "place where the updater keeps its own files.");
    const QString notNewer
        = QStringLiteral("Package core is offered as version %1, which is not newer than the "
                         "installed version 1.0, so it will not be installed.");

    // Names are data, never paths.
    for (const char *name :
         {"../evil", "a/b", "back\\slash", ".", "..", "journal", "downloading", "lock"})
        QTest::addRow("name %s", name) << named(name) << badName.arg(QLatin1String(name));
    // A character reference: a plain tab in an attribute is read as a blank.
    QTest::newRow("name with a control character")
        << named("tab&#9;name") << badName.arg("tab\tname");
    QTest::newRow("empty name") << named("") << badName.arg("");
    Offer project {"core", {}, vouched(package, key)};
    project.project = "..";
    QTest::newRow("project ..") << QList<Offer> {project} << badName.arg("..");
    Offer type {"core", {}, vouched(package, key)};
    type.type = "x/../../y";
    QTest::newRow("type with slashes") << QList<Offer> {type} << badName.arg("x/../../y");

    // Links never name a place the run itself works in.
    for (const char *path : {"/journal", "/lock", "/downloading/0", "/core", "/core/",
                             "/core/unwind/lib/libvorn-core.so.1", "/core/unwind"})
        QTest::addRow("link %s", path) << linked(path) << workPlace.arg("core");
    QTest::newRow("link into another package's directory")
        << QList<Offer> {{"core", "http://127.0.0.1/extra/core.zip", vouched(package, key)},
                         {"extra", {}, vouched(package, key, "extra")}}
        << workPlace.arg("core");
    QTest::newRow("two packages at one address")
        << QList<Offer> {{"core", {}, vouched(package, key)},
                         {"extra", "http://127.0.0.1/core.zip", vouched(package, key, "extra")}}
        << workPlace.arg("core");
    QTest::newRow("one package where the other's directory goes")
        << QList<Offer> {{"core", "http://127.0.0.1/pkg", vouched(package, key)},
                         {"extra", "http://127.0.0.1/pkg/extra.zip",
                          vouched(package, key, "extra")}}
        << workPlace.arg("core");

    // Signed, but larger than the updater downloads (here 100,000 bytes).
    const QByteArray large(200000, 'L');
    QTest::newRow("signed package beyond the size bound")
        << QList<Offer> {{"core", {}, vouched(large, key)}}
        << QStringLiteral("Package core is larger than the 100000 bytes the updater downloads, "
                          "so it will not be installed.");

    // A genuinely signed release that is not newer than the installed 1.0.
    for (const char *version : {"1.0", "1.0.0", "0.9"})
        QTest::addRow("signed version %s", version) << versioned(version) << notNewer.arg(version);

    // Each component once, whether the messenger reported it or not.
    Offer unreported {"emoticons", {}, vouched(package, key, "emoticons")};
    unreported.requested = false;
    QTest::newRow("a new plug-in offered twice")
        << QList<Offer> {{"core", {}, vouched(package, key)}, unreported, unreported}
        << QStringLiteral("The update server offered package emoticons more than once, so no "
                          "update is downloaded.");
    Offer older {"core", "http://127.0.0.1/old.zip", vouched(package, key, "core", "1.5")};
    older.version = "1.5";
    QTest::newRow("two releases of one component")
        << QList<Offer> {{"core", {}, vouched(package, key)}, older}
        << QStringLiteral("The update server offered package core more than once, so no update "
                          "is downloaded.");

    // A patch's link is held to its package's rules, though nothing is stored under it.
    const auto patched = [&](const QByteArray &path) {
        return QList<Offer> {
            {"core",
             {},
             vouched(package, key) + "<patch from='1.0' link='http://127.0.0.1" + path
                 + "' sha256='" + sha256(package) + "' size='" + QByteArray::number(package.size())
                 + "' signature='"
                 + key.signPackage(package, {"vorn", "core", "plugin", "2.0", -1, {}, "1.0"})
                 + "'/>"},
            {"extra", {}, vouched(package, key, "extra")}};
    };
    QTest::newRow("patch link to a planted manifest")
        << patched(plantedManifestLink())
        << QStringLiteral("Refusing to store package core: its address leaves the download "
                          "directory.");
    for (const char *path : {"/journal", "/core/unwind/x.zip", "/extra.zip", "/extra/x.zip"})
        QTest::addRow("patch link %s", path) << patched(path) << workPlace.arg("core");
    QTest::newRow("signed version that is no number")
        << versioned("1.1-beta")
        << QStringLiteral("Package core is offered as version \"1.1-beta\", which cannot be "
                          "compared with the installed version \"1.0\", so it will not be "
                          "installed.");
}

// Whatever the reply says, nothing is requested, installed or run.
void TestAuthenticity::hostileOffer()
{
    QFETCH(QList<Offer>, offers);
    QFETCH(QString, text);

    RunSettings settings = EngineRun::settings({keyPair(1).publicBase64()});
    settings.maximumPackageSize = 100000;
    EngineRun run(settings);
    QVERIFY(run.ready);
    run.installWhenDownloaded();
    HttpTestServer &server = run.packageServer();
    QVERIFY(run.offer(offers));
    // A manifest that any local user could leave in the shared temporary directory, which
    // would remove the installed plug-in if it were ever read.
    QVERIFY(writeFile(run.plugin("core.txt"), "installed"));
    QVERIFY(
        writeFile(plantedManifest(),
                  ZipBuilder::manifest("vorn", "core", "plugin", {{"", "core.txt", "remove"}})));
    const TreeSnapshot home = TreeSnapshot::take(run.home.path());
    QFile::remove(QCoreApplication::applicationDirPath() + "/fix-ran");

    run.engine.beginDownload();
    QTRY_VERIFY(run.over());
    QCOMPARE(run.events, QStringList({"error " + text}));
    QVERIFY(run.staysQuiet(server));
    QVERIFY(server.requests().isEmpty());
    QVERIFY(TreeSnapshot::take(run.home.path()) == home);
    QVERIFY(!QFileInfo::exists(QCoreApplication::applicationDirPath() + "/fix-ran"));
    QFile::remove(plantedManifest());
}

void TestAuthenticity::bodyBeyondAnnouncedSize_data()
{
    QTest::addColumn<Response>("body");
    QTest::addColumn<qint64>("size");

    Response endless = Response::generated(qint64(1) << 40);
    endless.announceLength = false;
    Response endlessChunked = Response::generated(qint64(1) << 40);
    endlessChunked.chunked = true;
    Response longerChunked = Response::ok(HttpTestServer::pattern(0, 300000));
    longerChunked.chunked = true;

    QTest::newRow("endless body") << endless << qint64(1000);
    QTest::newRow("endless chunked body") << endlessChunked << qint64(100000);
    QTest::newRow("longer body with its length")
        << Response::ok(HttpTestServer::pattern(0, 300000)) << qint64(200000);
    QTest::newRow("longer chunked body") << longerChunked << qint64(1);
    QTest::newRow("one byte too many")
        << Response::ok(HttpTestServer::pattern(0, 1001)) << qint64(1000);
    QTest::newRow("one byte too few")
        << Response::ok(HttpTestServer::pattern(0, 999)) << qint64(1000);
    QTest::newRow("empty body") << Response::ok(QByteArray()) << qint64(1000);
    // -1: nothing announced; the updater's own bound (here 50,000 bytes) ends the body.
    QTest::newRow("endless body, no size announced") << endless << qint64(-1);
}

void TestAuthenticity::bodyBeyondAnnouncedSize()
{
    QFETCH(Response, body);
    QFETCH(qint64, size);

    const qint64 bound = 50000;
    RunSettings settings = EngineRun::settings();
    if (size < 0)
        settings.maximumPackageSize = bound;
    EngineRun run(settings);
    QVERIFY(run.ready);
    HttpTestServer &server = run.packageServer();
    server.serve("/core.zip", body);
    QVERIFY(run.offer(
        {{"core", {}, size < 0 ? QByteArray() : child("size", QByteArray::number(size))}}));

    run.engine.beginDownload();
    QTRY_VERIFY(run.over());
    QCOMPARE(run.events.first(), QStringLiteral("file core"));
    QCOMPARE(run.events.last(),
             "error "
                 + (size < 0 ? QStringLiteral("Package core is larger than the %1 bytes the "
                                              "updater downloads, so it will not be installed.")
                                   .arg(bound)
                             : wrongSize("core", size)));
    QCOMPARE(run.count("error"), 1);
    QCOMPARE(run.count("finished"), 0);
    // What was counted never passes what was announced.
    for (int percent : run.percents())
        QVERIFY(percent <= 100);
    QVERIFY(!QFileInfo::exists(run.file("core.zip")));
    // The transfer is given up, not read to its end.
    if (body.bodySize() > qMax(size, bound) + 1000000)
        QTRY_COMPARE(server.openConnections(), 0);
    QVERIFY(run.staysQuiet(server));
}

void TestAuthenticity::announcedSizeDrivesProgress_data()
{
    QTest::addColumn<QByteArray>("children");
    QTest::addColumn<QList<int>>("percents");

    QTest::newRow("size announced") << child("size", "1000") << QList<int> {50, 100};
    QTest::newRow("size announced with blanks") << child("size", " 1000\n") << QList<int> {50, 100};
    // The contrast: without it the figure of the HEAD answer counts.
    QTest::newRow("no size") << QByteArray() << QList<int> {12, 25};
}

void TestAuthenticity::announcedSizeDrivesProgress()
{
    QFETCH(QByteArray, children);
    QFETCH(QList<int>, percents);

    EngineRun run;
    QVERIFY(run.ready);
    HttpTestServer &server = run.packageServer();
    // The HEAD answer announces 4000 bytes, the body has 1000.
    server.serve("HEAD", "/core.zip", Response::ok(QByteArray(4000, 'h')));
    Response body = Response::ok(HttpTestServer::pattern(0, 1000));
    body.pieces = {500};
    server.serve("/core.zip", body);
    QVERIFY(run.offer({{"core", {}, children}}));
    connect(&run.engine, &VornUpdaterEngine::downloadProgress, &server,
            &HttpTestServer::releasePiece);

    run.engine.beginDownload();
    QTRY_VERIFY(run.over());
    QCOMPARE(run.events.last(), QStringLiteral("finished"));
    QCOMPARE(run.percents(), percents);
    QCOMPARE(readFile(run.file("core.zip")), body.body);
}

void TestAuthenticity::patchedOrWhole_data()
{
    QTest::addColumn<int>("spoil");
    QTest::addColumn<QByteArray>("offeredFrom");
    QTest::addColumn<QByteArray>("signedFrom");
    QTest::addColumn<bool>("patchAltered");
    QTest::addColumn<int>("patchStatus");
    QTest::addColumn<int>("wholeStatus");
    QTest::addColumn<QStringList>("gets");
    QTest::addColumn<QString>("reason"); // why the patch gave way, as logged; empty: it did not
    QTest::addColumn<QString>("text");

    const QStringList patch {"GET /core-patch.zip"};
    const QStringList whole {"GET /core.zip"};
    const QByteArray one = "1.0";
    const auto row
        = [&](const char *name, Spoil spoil, const QStringList &gets, const QString &reason) {
              QTest::newRow(name) << int(spoil) << one << one << false << 200 << 200 << gets
                                  << reason << QString();
          };
    const QString notPatchable = "lib/core.so: the installed file is not the one the patch was "
                                 "made for";
    row("patch applies", Spoil::Nothing, patch, {});
    row("installed file changed by the user", Spoil::InstalledChanged, patch + whole, notPatchable);
    row("corrupt delta, signed", Spoil::Delta, patch + whole, "lib/core.so: damaged");
    row("wrong digest of a rebuilt file", Spoil::ResultDigest, patch + whole,
        "the rebuilt file is not the released one");
    row("link renamed: no manifest of the patch has its name", Spoil::LinkRenamed,
        QStringList {"GET /core-renamed.zip"} + whole, "the patch holds no manifest");
    row("rebuilt files beyond what the package may unpack to", Spoil::OverBudget, patch + whole,
        "more than the package may unpack to");
    row("window closed during the rebuild", Spoil::ClosedWhileRebuilding, patch, {});
    row("patch past its deadline", Spoil::PatchHeld, patch + whole, "did not end within");
    // The whole package would need the room as well: the run ends instead.
    QTest::newRow("disk full while rebuilding")
        << int(Spoil::DiskFull) << one << one << false << 200 << 200 << patch << QString()
        << "Package core cannot be stored in the download directory (No space left on device).";
    const int nothing = int(Spoil::Nothing);
    QTest::newRow("patch only for another version")
        << nothing << QByteArray("1.5") << QByteArray("1.5") << false << 200 << 200 << whole
        << QString() << QString();
    QTest::newRow("signed for another version")
        << nothing << one << QByteArray("1.5") << false << 200 << 200 << patch + whole
        << "The signature of package core is not valid" << QString();
    QTest::newRow("patch altered on the way")
        << nothing << one << one << true << 200 << 200 << patch + whole
        << "does not match the checksum" << QString();
    QTest::newRow("patch missing on the server")
        << nothing << one << one << false << 404 << 200 << patch + whole << "HTTP 404 Not Found"
        << QString();
    const QString notFound = QStringLiteral("Download of core failed: HTTP 404 Not Found");
    QTest::newRow("whole package fails too")
        << int(Spoil::InstalledChanged) << one << one << false << 200 << 404 << patch + whole
        << notPatchable << notFound;
    // Never opened: it would keep the rebuild waiting for a writer.
    QTest::newRow("FIFO at a patched file's place, whole package missing")
        << int(Spoil::InstalledFifo) << one << one << false << 200 << 404 << patch + whole
        << "lib/core.so: the installed file cannot be patched" << notFound;
}

// Installation 1.0 of the plug-in, offered 2.0 with a patch from the version in offeredFrom.
void TestAuthenticity::patchedOrWhole()
{
    QFETCH(int, spoil);
    QFETCH(QByteArray, offeredFrom);
    QFETCH(QByteArray, signedFrom);
    QFETCH(bool, patchAltered);
    QFETCH(int, patchStatus);
    QFETCH(int, wholeStatus);
    QFETCH(QStringList, gets);
    QFETCH(QString, reason);
    QFETCH(QString, text);

    const KeyPair key = keyPair(1);
    RunSettings settings = EngineRun::settings({key.publicBase64()});
    const auto clock = std::make_shared<ManualClock>();
    // Far below the stall bound, and ample for the whole package.
    if (Spoil(spoil) == Spoil::PatchHeld) {
        settings.downloadDeadlineBaseMs = 1000;
        settings.downloadBytesPerSecond = 10 * 1000 * 1000;
        settings.clock = clock;
    }
    const bool diskFull = Spoil(spoil) == Spoil::DiskFull;
    EngineRun run(settings, nullptr, diskFull ? "200k" : QByteArray());
    QVERIFY(run.ready);
    run.installWhenDownloaded();
    if (diskFull && !run.onSmallDisk())
        QSKIP("needs a private mount namespace to fill a small disk");
    Files installed = releaseOne();
    if (Spoil(spoil) == Spoil::InstalledChanged)
        installed.insert("lib/core.so", "rebuilt by the user");
    QVERIFY(writeFiles(run.plugin(""), installed));
    if (Spoil(spoil) == Spoil::InstalledFifo) {
        QVERIFY(QFile::remove(run.plugin("lib/core.so")));
        QCOMPARE(::mkfifo(QFile::encodeName(run.plugin("lib/core.so")).constData(), 0644), 0);
        installed.remove("lib/core.so");
    }

    const QByteArray whole = fullPackage();
    const QByteArray patch = patchPackage(Spoil(spoil));
    const QByteArray patchPath
        = Spoil(spoil) == Spoil::LinkRenamed ? "/core-renamed.zip" : "/core-patch.zip";
    const QByteArray patchElement = "<patch from='" + offeredFrom + "' link='http://127.0.0.1"
        + patchPath + "' sha256='" + sha256(patch) + "' size='" + QByteArray::number(patch.size())
        + "' signature='"
        + key.signPackage(patch, {"vorn", "core", "plugin", "2.0", -1, {}, signedFrom}) + "'/>";
    HttpTestServer &server = run.packageServer();
    server.serve("/core.zip", Response::ok(whole));
    // Gone between the HEAD that sized it and the GET.
    if (wholeStatus != 200)
        server.serve("GET", "/core.zip", Response::withStatus(wholeStatus, "Not Found"));
    Response patchResponse = patchStatus != 200
        ? Response::withStatus(404, "Not Found")
        : Response::ok(patchAltered ? alteredByOneByte(patch) : patch);
    if (Spoil(spoil) == Spoil::PatchHeld)
        patchResponse.pieces = {100};
    server.serve(patchPath, patchResponse);
    QVERIFY(run.offer({{"core", {}, vouched(whole, key) + patchElement}}));
    // Closed once the last byte of the patch is in: while its rebuild has begun.
    if (Spoil(spoil) == Spoil::ClosedWhileRebuilding) {
        connect(&run.engine, &VornUpdaterEngine::downloadProgress, &run.engine, [&](int done) {
            if (done == 100)
                QTimer::singleShot(0, &run.engine, &VornUpdaterEngine::abortDownload);
        });
    }

    // Each check of the patch stands on its own: the reason names the one that refused it.
    if (!reason.isEmpty())
        QTest::ignoreMessage(QtInfoMsg,
                             QRegularExpression("^The patch for core is not used \\(.*"
                                                + QRegularExpression::escape(reason)));
    MessageBoxAnswerer answerer;
    run.engine.beginDownload();
    if (Spoil(spoil) == Spoil::ClosedWhileRebuilding) {
        // The rebuild removes the patch's body as it ends, and leaves nothing of its own.
        QTRY_VERIFY(run.percents().contains(100) && !QFileInfo::exists(run.body(0)));
        QVERIFY(!QFileInfo::exists(run.dir() + "core"));
        QVERIFY(run.staysQuiet(server));
        QCOMPARE(run.count("finished") + run.count("error"), 0);
    } else {
        if (Spoil(spoil) == Spoil::PatchHeld) {
            // The patch's first bytes are in, the rest held: its deadline passes at the very
            // millisecond, not one before.
            QTRY_COMPARE(QFileInfo(run.body(0)).size(), qint64(100));
            clock->advance(1000 + patch.size() * 1000 / settings.downloadBytesPerSecond - 1);
            QCOMPARE(QFileInfo(run.body(0)).size(), qint64(100));
            clock->advance(1);
        }
        QTRY_VERIFY(run.installed() || run.count("error") > 0);
    }
    QStringList got = server.requestLines();
    got.removeAll("HEAD /core.zip");
    QCOMPARE(got, gets);
    const QList<int> percents = run.percents();
    QVERIFY(std::is_sorted(percents.cbegin(), percents.cend()));
    const bool patched = text.isEmpty() && Spoil(spoil) != Spoil::ClosedWhileRebuilding;
    if (patched) {
        QCOMPARE(run.count("error"), 0);
        QCOMPARE(percents.constLast(), 100);
        // Exactly what the whole package makes of the installation.
        QCOMPARE(TreeSnapshot::take(run.plugin("")).fileContents(), releaseTwo());
    } else {
        if (!text.isEmpty()) {
            QCOMPARE(run.events.constLast(), "error " + text);
            QCOMPARE(run.count("error"), 1);
        }
        QCOMPARE(TreeSnapshot::take(run.plugin("")).fileContents(), installed);
    }
    QCOMPARE(answerer.count(), 0);
}

void TestAuthenticity::unsafeDownloadDirectory_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("text"); // the box of a refused download, or empty
    QTest::addColumn<QString>("used"); // the directory the update goes through instead

    const QString notADirectory = QStringLiteral("The download directory %1 is a symbolic link or "
                                                 "not a directory, so no update is downloaded.");
    const QString writable = QStringLiteral(
        "Other users can write to the download directory %1, so no update is downloaded.");
    const QString own = QStringLiteral("@T/tupdates-%1").arg(::geteuid());
    // Found in place by the engine: another user took the name first.
    QTest::newRow("link to a directory of the user") << "link" << QString() << own;
    QTest::newRow("plain file") << "file" << QString() << own;
    QTest::newRow("writable by everyone") << "0777" << QString() << own;
    QTest::newRow("writable by everyone, sticky") << "1777" << QString() << own;
    QTest::newRow("writable by the group") << "0770" << QString() << own;
    QTest::newRow("both names in the temporary directory taken")
        << "both" << QString() << "@H/.cache/vorn/tupdates";
    // Changed after the engine chose it: the download stops.
    QTest::newRow("link to the user's directory, made after the engine")
        << "late link" << notADirectory << QString();
    QTest::newRow("made writable by everyone after the engine")
        << "late 0777" << writable << QString();
}

// The box is the download window's, shown for the engine's error before any request.
void TestAuthenticity::unsafeDownloadDirectory()
{
    QFETCH(QString, kind);
    QFETCH(QString, text);
    QFETCH(QString, used);

    const auto prepare = [&kind](const QString &temp) {
        const QString dir = temp + "/tupdates";
        const QString elsewhere = temp + "/elsewhere";
        if (kind == "both"
            && !writeFile(QStringLiteral("%1/tupdates-%2").arg(temp).arg(::geteuid()), "taken"))
            return false;
        if (kind == "link" || kind == "both")
            return QDir().mkdir(elsewhere)
                && QFile::setPermissions(elsewhere,
                                         QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)
                && QFile::link(elsewhere, dir);
        if (kind == "file")
            return writeFile(dir, "not a directory");
        if (kind.startsWith('0') || kind.startsWith('1'))
            return QDir().mkdir(dir)
                && ::chmod(QFile::encodeName(dir).constData(), mode_t(kind.toInt(nullptr, 8))) == 0;
        return true;
    };
    EngineRun run(EngineRun::settings(), prepare);
    QVERIFY(run.ready);
    const QString dir = run.temp.path() + "/tupdates";
    if (kind == "late link") {
        QVERIFY(QDir().rmdir(dir));
        QVERIFY(QDir().mkdir(run.temp.path() + "/elsewhere"));
        QVERIFY(QFile::link(run.temp.path() + "/elsewhere", dir));
    } else if (kind == "late 0777") {
        QVERIFY(::chmod(QFile::encodeName(dir).constData(), 0777) == 0);
    }
    used.replace("@T", run.temp.path()).replace("@H", run.home.path());
    HttpTestServer &server = run.packageServer();
    server.serve("/core.zip", Response::ok(pluginPackage("core")));
    QVERIFY(run.offer({{"core"}}));
    // What the other user planted stays as it is.
    const auto planted = [&run, &used] {
        TreeSnapshot snapshot = TreeSnapshot::take(run.temp.path());
        snapshot.removeBelow(QDir(run.temp.path()).relativeFilePath(used));
        return snapshot;
    };
    const TreeSnapshot before = planted();

    MessageBoxAnswerer answerer;
    if (used.isEmpty()) {
        new VornDownloadDialog(&run.engine);
        QTRY_COMPARE(answerer.count(), 1);
        QCOMPARE(answerer.last().icon, QMessageBox::Critical);
        QCOMPARE(answerer.last().text, text.arg(dir));
        QCOMPARE(run.events, QStringList({"error " + text.arg(dir)}));
        QVERIFY(run.staysQuiet(server));
        QVERIFY(server.requests().isEmpty());
    } else {
        QCOMPARE(run.dir(), used + "/");
        run.installWhenDownloaded();
        run.engine.beginDownload();
        QTRY_VERIFY(run.installed());
        QVERIFY(run.engine.isInstallSucceeded());
        QCOMPARE(answerer.count(), 0);
        QCOMPARE(readFile(run.plugin("core.txt")), QByteArray("plug-in core"));
    }
    const TreeSnapshot after = planted();
    QVERIFY2(after == before, qPrintable(before.differences(after)));
}

void TestAuthenticity::plantedLinkNotFollowed_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QString>("linkAt");
    QTest::addColumn<bool>("duringRun");

    QTest::newRow("link at the package file") << QByteArray("/core.zip") << "core.zip" << true;
    QTest::newRow("dangling link at the package file")
        << QByteArray("/core.zip") << "core.zip" << true;
    QTest::newRow("link at a directory of the package path")
        << QByteArray("/updates/core.zip") << "updates" << true;
    QTest::newRow("link at the bodies' directory")
        << QByteArray("/core.zip") << "downloading" << true;
    QTest::newRow("link left by an earlier run") << QByteArray("/core.zip") << "core.zip" << false;
    QTest::newRow("directory link left by an earlier run")
        << QByteArray("/updates/core.zip") << "updates" << false;
}

// Only this user can write into the download directory, but a link that stands there must
// still not carry the package elsewhere: one from before the run goes as a link when the
// directory is emptied for the download, one that appears meanwhile stops the run.
void TestAuthenticity::plantedLinkNotFollowed()
{
    QFETCH(QByteArray, path);
    QFETCH(QString, linkAt);
    QFETCH(bool, duringRun);

    EngineRun run;
    QVERIFY(run.ready);
    QTemporaryDir outside;
    QVERIFY(outside.isValid());
    const bool dangling = QByteArray(QTest::currentDataTag()).startsWith("dangling");
    const bool toDirectory = linkAt != "core.zip";
    QString target = outside.filePath(toDirectory ? "dir" : "victim");
    if (toDirectory)
        QVERIFY(QDir().mkdir(target));
    else if (!dangling)
        QVERIFY(writeFile(target, "outside bytes"));
    const TreeSnapshot before = TreeSnapshot::take(outside.path());
    const auto plant = [&] { QFile::link(target, run.file(linkAt)); };
    if (duringRun)
        QObject::connect(&run.engine, &VornUpdaterEngine::downloadFile, plant);
    else
        plant();

    HttpTestServer &server = run.packageServer();
    server.serve(path, Response::ok(pluginPackage("core")));
    QVERIFY(run.offer({{"core", "http://127.0.0.1" + path}}));

    run.engine.beginDownload();
    QTRY_VERIFY(run.over());
    QVERIFY(run.staysQuiet(server));
    if (duringRun) {
        QCOMPARE(run.events.constLast(),
                 QStringLiteral("error Refusing to store package core: a symbolic link stands in "
                                "its place in the download directory."));
        QVERIFY(QFileInfo(run.file(linkAt)).isSymLink());
    } else {
        QCOMPARE(run.count("finished"), 1);
        QCOMPARE(readFile(run.file(QString::fromLatin1(path.mid(1)))), pluginPackage("core"));
    }
    const TreeSnapshot after = TreeSnapshot::take(outside.path());
    QVERIFY2(after == before, qPrintable(before.differences(after)));
}

void TestAuthenticity::publishedWithTheTools_data()
{
    QTest::addColumn<bool>("signPackage");
    QTest::addColumn<bool>("alter");
    QTest::addColumn<bool>("anotherKey");
    QTest::addColumn<bool>("withPatch");
    QTest::addColumn<QString>("text");

    QTest::newRow("as published") << true << false << false << false << QString();
    QTest::newRow("altered on the web server")
        << true << true << false << false << wrongSha256("core");
    QTest::newRow("updater built with another key")
        << true << false << true << false << badSignature("core");
    QTest::newRow("published unsigned")
        << false << false << false << false
        << QStringLiteral("Package core is not signed, so it will not be installed.");
    QTest::newRow("patch from the installed release")
        << true << false << false << true << QString();
}

void TestAuthenticity::publishedWithTheTools()
{
    QFETCH(bool, signPackage);
    QFETCH(bool, alter);
    QFETCH(bool, anotherKey);
    QFETCH(bool, withPatch);
    QFETCH(QString, text);

    QTemporaryDir publisher;
    QVERIFY(publisher.isValid());
    const QString keyFile = publisher.filePath("signing.key");
    const ProgramRun generated
        = runProgram(QStringLiteral(BUILDER_EXE), {"--generate-key", keyFile});
    QCOMPARE(generated.exitCode, 0);
    // Printed as vorn-package-key:<base64>; the updater takes the base64.
    const QString publicKey = QString::fromLatin1(generated.out.trimmed()).section(u':', 1);
    QCOMPARE(publicKey.size(), 44);

    Files released = releaseTwo();
    released.insert("core.txt", "plug-in core, published");
    QVERIFY(writeFiles(publisher.filePath("files"), released));
    QStringList arguments {publisher.filePath("files"),
                           "--project",
                           "vorn",
                           "--name",
                           "core",
                           "--type",
                           "plugin",
                           "--version",
                           "2.0",
                           "--link",
                           "http://127.0.0.1/core.zip",
                           "--output",
                           publisher.filePath("core.zip")};
    arguments << (signPackage ? QStringList {"--sign", keyFile} : QStringList {"--unsigned"});
    const ProgramRun built = runProgram(QStringLiteral(BUILDER_EXE), arguments);
    QCOMPARE(built.exitCode, 0);
    QByteArray entry = built.out;
    if (withPatch) {
        QVERIFY(writeFiles(publisher.filePath("old"), releaseOne()));
        arguments.replace(arguments.indexOf("http://127.0.0.1/core.zip"),
                          "http://127.0.0.1/core-patch.zip");
        arguments.replace(arguments.indexOf(publisher.filePath("core.zip")),
                          publisher.filePath("core-patch.zip"));
        arguments << "--patch-from" << publisher.filePath("old") << "--from-version"
                  << "1.0";
        const ProgramRun patch = runProgram(QStringLiteral(BUILDER_EXE), arguments);
        QCOMPARE(patch.exitCode, 0);
        entry.replace("</component>", patch.out + "</component>");
    }
    QVERIFY(
        writeFile(publisher.filePath("catalogue.xml"), "<catalogue>\n" + entry + "</catalogue>\n"));
    ServerProcess updateServer({"--catalogue", publisher.filePath("catalogue.xml")});
    QVERIFY2(updateServer.waitForListening(), updateServer.log().constData());

    const QByteArray package = readFile(publisher.filePath("core.zip"));
    HttpTestServer web;
    QVERIFY(web.listen());
    web.serve("/core.zip", Response::ok(alter ? alteredByOneByte(package) : package));
    web.serve("/core-patch.zip", Response::ok(readFile(publisher.filePath("core-patch.zip"))));

    EngineRun run(EngineRun::settings({anotherKey ? keyPair(3).publicBase64() : publicKey}));
    QVERIFY(run.ready);
    if (withPatch)
        QVERIFY(writeFiles(run.plugin(""), releaseOne()));
    run.installWhenDownloaded();
    QVERIFY(!run.engine.checkUpdates().isFailure());
    QCOMPARE(run.engine.getUpdates().size(), 1);

    MessageBoxAnswerer answerer;
    run.engine.beginDownload();
    QTRY_VERIFY(run.installed() || run.count("error") > 0);
    if (text.isEmpty()) {
        QCOMPARE(run.count("error"), 0);
        QCOMPARE(TreeSnapshot::take(run.plugin("")).fileContents(), released);
        QCOMPARE(web.requestLines().constLast(),
                 withPatch ? "GET /core-patch.zip" : "GET /core.zip");
    } else {
        QCOMPARE(run.events.last(), "error " + text);
        QVERIFY(run.nothingInstalled());
    }
    QCOMPARE(answerer.count(), 0);
}

QTEST_MAIN(TestAuthenticity)
#include "tst_authenticity.moc"
