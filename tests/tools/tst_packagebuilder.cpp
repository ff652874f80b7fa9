#include "binarydelta.h"
#include "keyfiletext.h"
#include "programrun.h"
#include "serverprocess.h"
#include "testfiles.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDomDocument>
#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

#include <unzip.h>

#include <sys/stat.h>

namespace {

ProgramRun build(const QStringList &arguments, const QString &workingDirectory = QString())
{
    return runProgram(QStringLiteral(BUILDER_EXE), arguments, workingDirectory);
}

struct ZipEntry
{
    QByteArray name;
    QByteArray data;
    uLong mode = 0;
    uLong madeBy = 0;
};

// Reads the archive back the way the updater does, entry by entry.
QList<ZipEntry> readZip(const QString &path)
{
    QList<ZipEntry> entries;
    unzFile zip = unzOpen64(QFile::encodeName(path).constData());
    if (!zip)
        return entries;
    for (int status = unzGoToFirstFile(zip); status == UNZ_OK; status = unzGoToNextFile(zip)) {
        ZipEntry entry;
        unz_file_info64 info;
        char name[256];
        if (unzGetCurrentFileInfo64(zip, &info, name, sizeof name, nullptr, 0, nullptr, 0) != UNZ_OK
            || unzOpenCurrentFile(zip) != UNZ_OK)
            break;
        entry.name = name;
        entry.mode = info.external_fa >> 16;
        entry.madeBy = info.version >> 8;
        char buffer[4096];
        int read = 0;
        while ((read = unzReadCurrentFile(zip, buffer, sizeof buffer)) > 0)
            entry.data.append(buffer, read);
        if (unzCloseCurrentFile(zip) != UNZ_OK || read < 0)
            entry.data = "corrupt";
        entries.append(entry);
    }
    unzClose(zip);
    return entries;
}

QList<QByteArray> names(const QList<ZipEntry> &entries)
{
    QList<QByteArray> result;
    for (const ZipEntry &entry : entries)
        result << entry.name;
    return result;
}

// "package project/name/type", then "path|name action" for each file element.
QStringList manifestLines(const QByteArray &manifest)
{
    QStringList lines;
    QXmlStreamReader xml(manifest);
    while (xml.readNextStartElement()) {
        const QXmlStreamAttributes a = xml.attributes();
        if (xml.name() == u"package") {
            lines << QStringLiteral("package %1/%2/%3")
                         .arg(a.value("project"), a.value("name"), a.value("type"));
            continue; // into the children
        }
        lines
            << QStringLiteral("%1|%2 %3").arg(a.value("path"), a.value("name"), a.value("action"));
        xml.skipCurrentElement();
    }
    if (xml.hasError())
        lines << xml.errorString();
    return lines;
}

// "name=text" for each child of an element.
QStringList childLines(const QDomElement &element)
{
    QStringList lines;
    for (QDomElement child = element.firstChildElement(); !child.isNull();
         child = child.nextSiblingElement())
        lines << child.tagName() + "=" + child.text();
    return lines;
}

const QStringList identity = {"--project", "vorn", "--name", "core", "--type", "app"};

// A scratch directory holding a signing key that the builder generated.
struct KeyedDirectory
{
    QTemporaryDir temp;
    QString keyFile = temp.filePath("signing.key");
    ProgramRun generated = build({"--generate-key", keyFile});
    QByteArray publicKey = generated.out.trimmed();
    bool ready = temp.isValid() && generated.exitCode == 0;
};

// Checks an Ed25519 signature with the openssl tool, which knows nothing of our key files:
// the public key, as the builder prints it, is wrapped in the fixed DER prefix of an Ed25519
// SubjectPublicKeyInfo.
bool opensslVerifies(const QString &dir, const QByteArray &publicKey, const QByteArray &signature,
                     const QString &file)
{
    const QByteArray der = QByteArray::fromHex("302a300506032b6570032100")
        + QByteArray::fromBase64(publicKey.mid(publicKey.indexOf(':') + 1));
    const QByteArray pem
        = "-----BEGIN PUBLIC KEY-----\n" + der.toBase64() + "\n-----END PUBLIC KEY-----\n";
    if (!writeFile(dir + "/public.pem", pem)
        || !writeFile(dir + "/signature.bin", QByteArray::fromBase64(signature)))
        return false;
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {"pkeyutl", "-verify", "-pubin", "-inkey", dir + "/public.pem", "-rawin", "-in",
                   file, "-sigfile", dir + "/signature.bin"});
    return openssl.waitForFinished(30000) && openssl.exitStatus() == QProcess::NormalExit
        && openssl.exitCode() == 0;
}

// The text of the child of that name of the printed catalogue entry.
QByteArray entryValue(const QByteArray &entry, const QString &name)
{
    QDomDocument document;
    if (!document.setContent(entry))
        return "(not XML)";
    return document.documentElement().firstChildElement(name).text().toLatin1();
}

// The server's reply to a query for vorn/core/app at that version.
QByteArray replyOfServer(quint16 port, const QByteArray &version)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000))
        return "not connected";
    socket.write("<s><update><component project='vorn' name='core' type='app' version='" + version
                 + "' /></update></s>");
    return socket.waitForDisconnected(10000) ? socket.readAll() : "not closed";
}

// The arguments that publish the release of vorn/core/app in <dir>/<version> at
// http://127.0.0.1/vorn/, into <dir>/www and <dir>/catalogue.xml, signed with the key there.
QStringList releaseArguments(const QString &dir, const QString &version)
{
    return identity
        + QStringList {
            "--release",     dir + "/" + version,      "--version", version,
            "--publish-url", "http://127.0.0.1/vorn/", "--www",     dir + "/www",
            "--catalogue",   dir + "/catalogue.xml",   "--sign",    dir + "/signing.key"};
}

} // namespace

class TestPackageBuilder : public QObject
{
    Q_OBJECT

private slots:
    void archiveAndManifest();
    void manifestEntryFromLink_data();
    void manifestEntryFromLink();
    void catalogueEntry();
    void catalogueEntryAcceptedByServer();
    void warnings_data();
    void warnings();
    void refusals_data();
    void refusals();

    // Signing.
    void generateKey_data();
    void generateKey();
    void generateKeyRefusals_data();
    void generateKeyRefusals();
    void signedPackage();
    void patchPackage();
    void signedEntryAcceptedByServer();
    void signingRefusals_data();
    void signingRefusals();

    void catalogueCheck_data();
    void catalogueCheck();
    void releaseRefusals_data();
    void releaseRefusals();
    void threeReleasesServed();
};

void TestPackageBuilder::archiveAndManifest()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString files = temp.filePath("files");
    QByteArray library;
    for (int i = 0; i < 50000; ++i)
        library += QByteArray::number(i * 7919 % 65521);
    QVERIFY(writeFile(files + "/bin/im-client", "#!/bin/sh\n", 0755));
    QVERIFY(writeFile(files + "/lib/libnew.so", library, 0644));
    QVERIFY(writeFile(files + "/.config/hidden", "h", 0600));
    QVERIFY(writeFile(files + QString::fromUtf8("/café.txt"), "latin", 0640));
    QVERIFY(writeFile(files + "/deep/a/b/c.txt", "", 0444));
    // Links within the release, also one to another link: each packaged as the file it leads to.
    QVERIFY(QFile::link("libnew.so", files + "/lib/libnew.so.1"));
    QVERIFY(QFile::link("../lib/libnew.so.1", files + "/bin/libclient.so"));

    const QString output = temp.filePath("core.zip");
    const ProgramRun result = build(
        QStringList {files} + identity
        + QStringList {"--version", "1.2.0", "--link", "http://127.0.0.1/core.zip", "--remove",
                       "lib/libold.so", "--remove", "old.txt", "--output", output, "--unsigned"});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.err, QByteArray());

    const QList<ZipEntry> entries = readZip(output);
    QCOMPARE(
        names(entries),
        QList<QByteArray>({"core.xml", ".config/hidden", "bin/im-client", "bin/libclient.so",
                           "caf\xe9.txt", "deep/a/b/c.txt", "lib/libnew.so", "lib/libnew.so.1"}));
    const QList<std::pair<QByteArray, uLong>> contents
        = {{"#!/bin/sh\n", 0755}, {library, 0644}, {"h", 0600}, {"latin", 0640}, {"", 0444},
           {library, 0644},       {library, 0644}};
    const QList<int> order = {2, 6, 1, 4, 5, 7, 3};
    for (int i = 0; i < order.size(); ++i) {
        const ZipEntry &entry = entries.at(order.at(i));
        QCOMPARE(entry.data, contents.at(i).first);
        QCOMPARE(entry.mode, S_IFREG | contents.at(i).second);
        QCOMPARE(entry.madeBy, uLong(3));
    }

    QCOMPARE(manifestLines(entries.at(0).data),
             QStringList({"package vorn/core/app", ".config|hidden add", "bin|im-client add",
                          "bin|libclient.so add", QString::fromUtf8("|café.txt add"),
                          "deep/a/b|c.txt add", "lib|libnew.so add", "lib|libnew.so.1 add",
                          "lib|libold.so remove", "|old.txt remove"}));
}

void TestPackageBuilder::manifestEntryFromLink_data()
{
    QTest::addColumn<QString>("link");
    QTest::addColumn<QString>("package");
    QTest::addColumn<QByteArray>("manifest");

    QTest::newRow("one segment") << QStringLiteral("http://127.0.0.1/core.zip")
                                 << QStringLiteral("core.zip") << QByteArray("core.xml");
    QTest::newRow("two segments") << QStringLiteral("http://127.0.0.1/updates/core.zip")
                                  << QStringLiteral("core.zip") << QByteArray("updates/core.xml");
    QTest::newRow("port 80 and other file name")
        << QStringLiteral("http://127.0.0.1:80/a/b/core-1.2.zip") << QStringLiteral("core-1.2.zip")
        << QByteArray("a/b/core-1.2.xml");
    QTest::newRow("percent-encoded blank")
        << QStringLiteral("http://127.0.0.1/my%20core.zip") << QStringLiteral("my core.zip")
        << QByteArray("my core.xml");
}

void TestPackageBuilder::manifestEntryFromLink()
{
    QFETCH(QString, link);
    QFETCH(QString, package);
    QFETCH(QByteArray, manifest);

    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    // Without a directory and without --output: a package that only removes, named by the link.
    const ProgramRun result = build(
        identity
            + QStringList {"--version", "1", "--link", link, "--remove", "old.txt", "--unsigned"},
        temp.path());
    QCOMPARE(result.exitCode, 0);

    const QList<ZipEntry> entries = readZip(temp.filePath(package));
    QCOMPARE(names(entries), QList<QByteArray> {manifest});
    QCOMPARE(manifestLines(entries.at(0).data),
             QStringList({"package vorn/core/app", "|old.txt remove"}));
}

void TestPackageBuilder::catalogueEntry()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    QVERIFY(writeFile(temp.filePath("files/core.bin"), "core"));
    const QString changelog = QString::fromUtf8("Poprawki: zażółć & <b>\n");
    QVERIFY(writeFile(temp.filePath("changelog.txt"), changelog.toUtf8()));
    const QString output = temp.filePath("core.zip");

    const ProgramRun result
        = build(QStringList {temp.filePath("files")} + identity
                + QStringList {"--version",        "1.10",
                               "--link",           "http://127.0.0.1/core.zip",
                               "--output",         output,
                               "--description",    "Core",
                               "--copyrights",     "(c) Vorn",
                               "--author",         "Team",
                               "--webpage",        "http://vorn.example",
                               "--email",          "team@vorn.example",
                               "--changelog-file", temp.filePath("changelog.txt"),
                               "--critical",       "--offer-always",
                               "--timestamp",      "4294967295",
                               "--unsigned"});
    QCOMPARE(result.exitCode, 0);

    QDomDocument entry;
    QVERIFY2(entry.setContent(result.out), result.out.constData());
    const QDomElement component = entry.documentElement();
    QCOMPARE(component.tagName(), "component");
    QCOMPARE(component.attribute("project"), "vorn");
    QCOMPARE(component.attribute("name"), "core");
    QCOMPARE(component.attribute("type"), "app");
    QCOMPARE(component.attribute("offer"), "always");
    const QByteArray package = readFile(output);
    QCOMPARE(
        childLines(component),
        QStringList(
            {"version=1.10", "description=Core", "copyrights=(c) Vorn", "author=Team",
             "webpage=http://vorn.example", "email=team@vorn.example", "changelog=" + changelog,
             "link=http://127.0.0.1/core.zip", "critical=true", "timestamp=4294967295",
             "sha256=" + QCryptographicHash::hash(package, QCryptographicHash::Sha256).toHex(),
             "size=" + QString::number(package.size())}));
}

void TestPackageBuilder::catalogueEntryAcceptedByServer()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    QVERIFY(writeFile(temp.filePath("files/core.bin"), "core"));
    const ProgramRun result = build(
        QStringList {temp.filePath("files")} + identity
        + QStringList {"--version", "1.2", "--link", "http://127.0.0.1/core.zip", "--output",
                       temp.filePath("core.zip"), "--changelog", "Fixes", "--unsigned"});
    QCOMPARE(result.exitCode, 0);
    const QString catalogue = temp.filePath("catalogue.xml");
    QVERIFY(writeFile(catalogue, "<catalogue>\n" + result.out + "</catalogue>\n"));

    ServerProcess server({"--catalogue", catalogue});
    QVERIFY2(server.waitForListening(), server.log().constData());
    QDomDocument reply;
    QVERIFY(reply.setContent(replyOfServer(server.port(), "1.1")));
    QDomDocument entry;
    QVERIFY(entry.setContent(result.out));
    const QDomElement request = reply.documentElement().firstChildElement("request");
    QCOMPARE(request.attribute("name"), "core");
    QCOMPARE(childLines(request), childLines(entry.documentElement()));
}

void TestPackageBuilder::warnings_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("warning");

    QTest::newRow("type without installation directory")
        << QStringLiteral("App") << QStringLiteral("bin/im-client")
        << QByteArray("only types app and plugin");
    QTest::newRow("name beginning with the component tag")
        << QStringLiteral("app") << QStringLiteral("lib/vorn_core_app.so")
        << QByteArray("lib/vorn_core_app.so will not be installed");
}

void TestPackageBuilder::warnings()
{
    QFETCH(QString, type);
    QFETCH(QString, file);
    QFETCH(QByteArray, warning);

    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    QVERIFY(writeFile(temp.filePath("files/" + file), "x"));
    const ProgramRun result = build(
        {temp.filePath("files"), "--project", "vorn", "--name", "core", "--type", type, "--version",
         "1", "--link", "http://h/core.zip", "--output", temp.filePath("core.zip"), "--unsigned"});
    QCOMPARE(result.exitCode, 0);
    QVERIFY2(result.err.contains(warning), result.err.constData());
    QCOMPARE(names(readZip(temp.filePath("core.zip"))),
             QList<QByteArray>({"core.xml", file.toUtf8()}));
}

void TestPackageBuilder::refusals_data()
{
    // An option with its new value, or alone to leave it out (with its value); "directory" names
    // the directory.
    QTest::addColumn<QStringList>("change");
    QTest::addColumn<QString>("file");
    // Planted in the release: bin/planted as a link to this target, or as a FIFO ("|").
    QTest::addColumn<QString>("planted");
    QTest::addColumn<QString>("message"); // what the error says, when the row names it

    QTest::newRow("version with suffix")
        << QStringList {"--version", "1.2b"} << QString() << QString() << QString();
    QTest::newRow("empty version")
        << QStringList {"--version", ""} << QString() << QString() << QString();
    QTest::newRow("link without .zip")
        << QStringList {"--link", "http://h/core"} << QString() << QString() << QString();
    QTest::newRow("link without host")
        << QStringList {"--link", "/core.zip"} << QString() << QString() << QString();
    // The updater fetches http://HOST/PATH from port 80 whatever the link says.
    const QString plainLink = QStringLiteral("give the link http://h/core.zip");
    QTest::newRow("link to HTTPS")
        << QStringList {"--link", "https://h/core.zip"} << QString() << QString()
        << QStringLiteral("the link must begin with http://: the updater fetches every package "
                          "with plain HTTP from port 80");
    QTest::newRow("link of another scheme")
        << QStringList {"--link", "ftp://h/core.zip"} << QString() << QString() << plainLink;
    QTest::newRow("link to another port")
        << QStringList {"--link", "http://h:8080/core.zip"} << QString() << QString()
        << QStringLiteral("the link names port 8080, but the updater fetches every package from "
                          "port 80. Serve the package there and give the link http://h/core.zip");
    QTest::newRow("link with a user name")
        << QStringList {"--link", "http://user:secret@h/core.zip"} << QString() << QString()
        << QStringLiteral("the link holds a user name, which the updater never sends");
    QTest::newRow("link with a query")
        << QStringList {"--link", "http://h/core.zip?version=2"} << QString() << QString()
        << QStringLiteral("the link holds a query or a fragment, which the updater never sends: "
                          "it asks for the path alone. Serve the package at a path of its own "
                          "and give the link http://h/core.zip");
    QTest::newRow("link with a fragment")
        << QStringList {"--link", "http://h/core.zip#2"} << QString() << QString()
        << QStringLiteral("the link holds a query or a fragment");
    QTest::newRow("link without a path")
        << QStringList {"--link", "http://h"} << QString() << QString()
        << QStringLiteral("the link must be an address whose path ends with .zip");
    QTest::newRow("link climbing out of the download directory")
        << QStringList {"--link", "http://h/updates/../core.zip"} << QString() << QString()
        << QStringLiteral("the link's path /updates/../core.zip has an empty, \".\" or \"..\" "
                          "segment: the updater would refuse it or store the package elsewhere");
    QTest::newRow("link with an empty segment")
        << QStringList {"--link", "http://h/updates//core.zip"} << QString() << QString()
        << QStringLiteral("has an empty");
    QTest::newRow("link into the updater's own files")
        << QStringList {"--link", "http://h/downloading/core.zip"} << QString() << QString()
        << QStringLiteral("the link's path /downloading/core.zip begins where the updater keeps "
                          "its own files");
    QTest::newRow("link into the component's backups")
        << QStringList {"--link", "http://h/core/unwind/core.zip"} << QString() << QString()
        << QStringLiteral("begins where the updater keeps its own files");
    QTest::newRow("link beyond ASCII")
        << QStringList {"--link", QString::fromUtf8("http://h/zażółć.zip")} << QString()
        << QString() << QString();
    QTest::newRow("missing name") << QStringList {"--name"} << QString() << QString() << QString();
    QTest::newRow("empty name") << QStringList {"--name", ""} << QString() << QString()
                                << QString();
    QTest::newRow("timestamp beyond 32 bits")
        << QStringList {"--timestamp", "4294967296"} << QString() << QString() << QString();
    QTest::newRow("removal climbing out")
        << QStringList {"--remove", "../x"} << QString() << QString() << QString();
    QTest::newRow("absolute removal")
        << QStringList {"--remove", "/etc/passwd"} << QString() << QString() << QString();
    QTest::newRow("removal with empty segment")
        << QStringList {"--remove", "a//b"} << QString() << QString() << QString();
    QTest::newRow("removal with dot segment")
        << QStringList {"--remove", "./b"} << QString() << QString() << QString();
    QTest::newRow("patch without the version it applies to")
        << QStringList {"--patch-from", "."} << QString() << QString() << QString();
    QTest::newRow("patch from a version that is not dotted numbers")
        << QStringList {"--patch-from", ".", "--from-version", "1.x"} << QString() << QString()
        << QString();
    QTest::newRow("patch from the version built")
        << QStringList {"--patch-from", ".", "--from-version", "1"} << QString() << QString()
        << QStringLiteral("the version patched from, 1, is not older than the version built, 1: "
                          "give --from-version the version that the installations to update "
                          "have now");
    QTest::newRow("patch from a newer version")
        << QStringList {"--patch-from", ".", "--from-version", "1.2"} << QString() << QString()
        << QStringLiteral("the version patched from, 1.2, is not older than the version built, "
                          "1:");
    QTest::newRow("unsigned without asking")
        << QStringList {"--unsigned"} << QString() << QString()
        << QStringLiteral("give --sign KEYFILE to sign the package: an updater built with "
                          "package keys installs no other. For an updater built without them "
                          "(development only), give --unsigned");
    QTest::newRow("signed and unsigned")
        << QStringList {"--sign", "signing.key"} << QString() << QString()
        << QStringLiteral("give --sign or --unsigned, not both");
    QTest::newRow("no threads") << QStringList {"--jobs", "0"} << QString() << QString()
                                << QString();
    QTest::newRow("removal of an added file")
        << QStringList {"--remove", "bin/im-client"} << QString() << QString() << QString();
    QTest::newRow("missing directory")
        << QStringList {"directory", "missing"} << QString() << QString() << QString();
    QTest::newRow("file name beyond Latin-1")
        << QStringList() << QString::fromUtf8("zażółć.txt") << QString() << QString();
    QTest::newRow("file named like the manifest")
        << QStringList() << QStringLiteral("core.xml") << QString() << QString();
    QTest::newRow("file name longer than 255")
        << QStringList() << QString(120, 'a') + "/" + QString(140, 'b') << QString() << QString();
    QTest::newRow("file name with a line feed")
        << QStringList() << QStringLiteral("bin/two\nlines") << QString()
        << QStringLiteral("bin/two\\x0alines: the name holds a control character");
    // Nothing outside the release ever goes into a package: not the secret beside it.
    QTest::newRow("link out of the release")
        << QStringList() << QString() << QStringLiteral("../../secret.txt")
        << QStringLiteral("bin/planted: a link to ../../secret.txt, outside the release directory");
    QTest::newRow("absolute link") << QStringList() << QString() << QStringLiteral("@/secret.txt")
                                   << QStringLiteral("outside the release directory");
    QTest::newRow("link to a directory of the release")
        << QStringList() << QString() << QStringLiteral("..")
        << QStringLiteral("bin/planted: a link to the directory ..; the updater installs files");
    QTest::newRow("link to nothing") << QStringList() << QString() << QStringLiteral("gone")
                                     << QStringLiteral("bin/planted: a link to gone, which does "
                                                       "not exist");
    QTest::newRow("FIFO") << QStringList() << QString() << QStringLiteral("|")
                          << QStringLiteral("bin/planted: a FIFO, not a file");
}

void TestPackageBuilder::refusals()
{
    QFETCH(QStringList, change);
    QFETCH(QString, file);
    QFETCH(QString, planted);
    QFETCH(QString, message);

    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    QVERIFY(writeFile(temp.filePath("files/bin/im-client"), "x"));
    QVERIFY(writeFile(temp.filePath("secret.txt"), "secret"));
    if (!file.isEmpty())
        QVERIFY(writeFile(temp.filePath("files/" + file), "x"));
    const QByteArray plantedPath = QFile::encodeName(temp.filePath("files/bin/planted"));
    if (planted == "|")
        QCOMPARE(::mkfifo(plantedPath.constData(), 0644), 0);
    else if (!planted.isEmpty())
        QVERIFY(QFile::link(QString(planted).replace("@", temp.path()), plantedPath));
    const QString output = temp.filePath("core.zip");
    QVERIFY(writeFile(output, "previous package"));

    QString directory = temp.filePath("files");
    QStringList arguments
        = identity + QStringList {"--version", "1",    "--link",    "http://h/core.zip",
                                  "--output",  output, "--unsigned"};
    if (change.value(0) == "directory") {
        directory = temp.filePath(change.at(1));
    } else if (!change.isEmpty()) {
        const qsizetype at = arguments.indexOf(change.at(0));
        if (at < 0)
            arguments << change;
        else if (change.size() == 1)
            arguments.remove(at, qMin<qsizetype>(2, arguments.size() - at));
        else
            arguments[at + 1] = change.at(1);
    }

    const ProgramRun result = build(QStringList {directory} + arguments);
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.out, QByteArray());
    QVERIFY(result.err.startsWith("vorn-package-builder: "));
    QVERIFY2(result.err.contains(message.toUtf8()), result.err.constData());
    QCOMPARE(readFile(output), QByteArray("previous package"));
    QVERIFY(!QFileInfo::exists(output + ".part"));
}

void TestPackageBuilder::generateKey_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QByteArray>("purpose");
    QTest::addColumn<QByteArray>("advice"); // after "Build the updater with"

    QTest::newRow("package key") << QStringLiteral("--generate-key") << QByteArray("package")
                                 << QByteArray("-DVORN_PACKAGE_PUBLIC_KEYS=@ and sign packages "
                                               "with --sign #");
    QTest::newRow("reply key") << QStringLiteral("--generate-reply-key") << QByteArray("reply")
                               << QByteArray("-DVORN_REPLY_PUBLIC_KEYS=@ and run "
                                             "vorn-update-server --reply-key #");
}

void TestPackageBuilder::generateKey()
{
    QFETCH(QString, option);
    QFETCH(QByteArray, purpose);
    QFETCH(QByteArray, advice);

    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString keyFile = temp.filePath("signing.key");
    const ProgramRun result = build({option, keyFile});
    QCOMPARE(result.exitCode, 0);
    QVERIFY(result.out.endsWith('\n'));
    const QByteArray publicKey = result.out.trimmed();
    const QByteArray prefix = "vorn-" + purpose + "-key:";
    QVERIFY2(publicKey.startsWith(prefix), publicKey.constData());
    QCOMPARE(publicKey.size(), prefix.size() + 44);
    QCOMPARE(QByteArray::fromBase64(publicKey.mid(prefix.size())).size(), 32);
    QCOMPARE(result.err,
             "vorn-package-builder: wrote the secret " + purpose + " key to " + keyFile.toUtf8()
                 + "; keep it secret. Build the updater with "
                 + advice.replace('@', publicKey).replace('#', keyFile.toUtf8()) + "\n");

    QCOMPARE(QFileInfo(keyFile).permissions(),
             QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
    const QList<QByteArray> lines = readFile(keyFile).split('\n');
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines.at(0), "# Vorn " + purpose + " signing key (Ed25519). Keep this file secret.");
    QCOMPARE(lines.at(1), "# Public key: " + publicKey);
    QCOMPARE(QByteArray::fromBase64(lines.at(2)).size(), 32);
    QCOMPARE(lines.at(3), QByteArray());

    // Every key is new.
    const ProgramRun other = build({option, temp.filePath("other.key")});
    QCOMPARE(other.exitCode, 0);
    QVERIFY(other.out.trimmed() != publicKey);
}

void TestPackageBuilder::generateKeyRefusals_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("error");

    QTest::newRow("existing key file") << QStringList {"--generate-key", "@/existing.key"}
                                       << QByteArray("vorn-package-builder: @/existing.key exists "
                                                     "already; a key file is never overwritten\n");
    QTest::newRow("with package options")
        << QStringList {"--generate-key", "@/new.key", "--name", "core"}
        << QByteArray("vorn-package-builder: --generate-key takes no other option\n");
    QTest::newRow("reply key with package options")
        << QStringList {"--generate-reply-key", "@/new.key", "--sign", "@/existing.key"}
        << QByteArray("vorn-package-builder: --generate-reply-key takes no other option\n");
    QTest::newRow("with a directory")
        << QStringList {"@", "--generate-key", "@/new.key"}
        << QByteArray("vorn-package-builder: --generate-key takes no other option\n");
    QTest::newRow("unwritable place")
        << QStringList {"--generate-key", "@/missing/new.key"}
        << QByteArray("vorn-package-builder: cannot write @/missing/new.key: No such file or "
                      "directory\n");
}

void TestPackageBuilder::generateKeyRefusals()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, error);

    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    QVERIFY(writeFile(temp.filePath("existing.key"), "a key of value", 0600));
    arguments.replaceInStrings("@", temp.path());
    const ProgramRun result = build(arguments);
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.out, QByteArray());
    QCOMPARE(result.err, error.replace('@', temp.path().toUtf8()));
    QCOMPARE(readFile(temp.filePath("existing.key")), QByteArray("a key of value"));
    QVERIFY(!QFileInfo::exists(temp.filePath("new.key")));
}

// Changed files travel as deltas that rebuild them, unchanged ones not at all, gone ones are
// removed; the signed statement names the version patched from. The deltas are the same
// whatever the number of threads. The updater patches no link: one that names the same file in
// both releases is left out, another travels whole.
void TestPackageBuilder::patchPackage()
{
    const KeyedDirectory keyed;
    QVERIFY(keyed.ready);
    const QTemporaryDir &temp = keyed.temp;
    const QString &keyFile = keyed.keyFile;
    QByteArray client;
    for (int i = 0; i < 20000; ++i)
        client += QByteArray::number(i * 7919 % 65521) + ' ';
    QByteArray newClient = client;
    newClient.insert(50000, "a new feature");
    QVERIFY(writeFile(temp.filePath("old/bin/im-client"), client, 0755));
    QVERIFY(writeFile(temp.filePath("old/lib/im-client"), client));
    QVERIFY(writeFile(temp.filePath("old/lib/same.so"), "unchanged"));
    QVERIFY(writeFile(temp.filePath("old/small.txt"), "a"));
    QVERIFY(writeFile(temp.filePath("old/share/gone.txt"), "gone"));
    QVERIFY(writeFile(temp.filePath("new/bin/im-client"), newClient, 0755));
    QVERIFY(writeFile(temp.filePath("new/lib/im-client"), newClient));
    for (const QString release : {"old", "new"})
        QVERIFY(QFile::link("im-client", temp.filePath(release + "/lib/libim.so.1")));
    QVERIFY(QFile::link("../lib/im-client", temp.filePath("old/bin/tool")));
    QVERIFY(writeFile(temp.filePath("new/bin/tool"), newClient + "tool", 0755));
    QVERIFY(writeFile(temp.filePath("new/lib/same.so"), "unchanged"));
    QVERIFY(writeFile(temp.filePath("new/small.txt"), "b"));
    QVERIFY(writeFile(temp.filePath("new/share/new.txt"), "new"));

    const QString output = temp.filePath("core-1.0-1.1.zip");
    const ProgramRun result
        = build(QStringList {temp.filePath("new")} + identity
                + QStringList {"--version", "1.1", "--link", "http://127.0.0.1/core-1.0-1.1.zip",
                               "--output", output, "--sign", keyFile, "--patch-from",
                               temp.filePath("old"), "--from-version", "1.0"});
    QCOMPARE(result.exitCode, 0);
    const QList<ZipEntry> entries = readZip(output);
    QCOMPARE(names(entries),
             QList<QByteArray>({"core-1.0-1.1.xml", "bin/tool", "share/new.txt", "small.txt",
                                "bin/im-client", "lib/im-client"}));
    QCOMPARE(
        manifestLines(entries.at(0).data),
        QStringList({"package vorn/core/app", "bin|tool add", "share|new.txt add", "|small.txt add",
                     "bin|im-client patch", "lib|im-client patch", "share|gone.txt remove"}));
    QCOMPARE(entries.at(5).data, entries.at(4).data);
    QVERIFY(entries.at(0).data.contains(
        "from-sha256=\"" + QCryptographicHash::hash(client, QCryptographicHash::Sha256).toHex()
        + "\" sha256=\""
        + QCryptographicHash::hash(newClient, QCryptographicHash::Sha256).toHex()));
    QCOMPARE(entries.at(4).mode, uLong(S_IFREG | 0755));
    QVERIFY(entries.at(4).data.size() < 1000);
    QBuffer rebuilt;
    rebuilt.open(QIODevice::WriteOnly);
    QVERIFY(!BinaryDelta::apply(client, entries.at(4).data, &rebuilt, newClient.size()));
    QVERIFY(rebuilt.data() == newClient);
    const QString alone = temp.filePath("alone.zip");
    QCOMPARE(build(QStringList {temp.filePath("new")} + identity
                   + QStringList {"--version", "1.1", "--link", "http://127.0.0.1/core-1.0-1.1.zip",
                                  "--output", alone, "--patch-from", temp.filePath("old"),
                                  "--from-version", "1.0", "--jobs", "1", "--unsigned"})
                 .exitCode,
             0);
    const QList<ZipEntry> built = readZip(alone);
    QCOMPARE(built.size(), entries.size());
    for (qsizetype i = 0; i < built.size(); ++i)
        QCOMPARE(built.at(i).data, entries.at(i).data);

    QDomDocument entry;
    QVERIFY(entry.setContent(result.out));
    const QDomElement patch = entry.documentElement();
    QCOMPARE(patch.tagName(), QStringLiteral("patch"));
    const QByteArray package = readFile(output);
    QCOMPARE(patch.attribute("from"), QStringLiteral("1.0"));
    QCOMPARE(patch.attribute("link"), QStringLiteral("http://127.0.0.1/core-1.0-1.1.zip"));
    QCOMPARE(patch.attribute("size"), QString::number(package.size()));
    QCOMPARE(patch.attribute("sha256").toLatin1(),
             QCryptographicHash::hash(package, QCryptographicHash::Sha256).toHex());
    QVERIFY(writeFile(temp.filePath("statement.txt"),
                      "vorn-package-statement 1\nproject vorn\nname core\ntype app\nversion "
                      "1.1\nfrom 1.0\nsize "
                          + QByteArray::number(package.size()) + "\nsha256 "
                          + patch.attribute("sha256").toLatin1() + "\n"));
    QVERIFY(opensslVerifies(temp.path(), keyed.publicKey, patch.attribute("signature").toLatin1(),
                            temp.filePath("statement.txt")));
}

void TestPackageBuilder::signedPackage()
{
    const KeyedDirectory keyed;
    QVERIFY(keyed.ready);
    const QTemporaryDir &temp = keyed.temp;
    const QString &keyFile = keyed.keyFile;
    const QByteArray publicKey = keyed.publicKey;
    QVERIFY(writeFile(temp.filePath("files/bin/im-client"), "#!/bin/sh\n", 0755));
    const QString output = temp.filePath("core.zip");

    const ProgramRun result
        = build(QStringList {temp.filePath("files")} + identity
                + QStringList {"--version", "1.2", "--link", "http://127.0.0.1/core.zip",
                               "--output", output, "--sign", keyFile, "--timestamp", "1"});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.err, QByteArray());
    const QByteArray package = readFile(output);
    const QByteArray signature = entryValue(result.out, "signature");
    QCOMPARE(QByteArray::fromBase64(signature).size(), 64);
    QDomDocument entry;
    QVERIFY(entry.setContent(result.out));
    // The signature goes between the checksum and the size.
    QCOMPARE(childLines(entry.documentElement()).mid(10),
             QStringList(
                 {"sha256=" + QCryptographicHash::hash(package, QCryptographicHash::Sha256).toHex(),
                  "signature=" + signature, "size=" + QString::number(package.size())}));

    // The signature covers the statement of component, version, size and digest, written here
    // as a publisher's own tools would write it.
    const auto statement = [&](const QByteArray &version, const QByteArray &bytes) {
        return "vorn-package-statement 1\nproject vorn\nname core\ntype app\nversion " + version
            + "\nsize " + QByteArray::number(bytes.size()) + "\nsha256 "
            + QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex() + "\n";
    };
    QByteArray altered = package;
    altered[altered.size() / 2] = char(altered.at(altered.size() / 2) ^ 0x01);
    const QString signedText = temp.filePath("statement.txt");
    QVERIFY(writeFile(signedText, statement("1.2", package)));
    QVERIFY(opensslVerifies(temp.path(), publicKey, signature, signedText));
    QVERIFY(writeFile(temp.filePath("altered.txt"), statement("1.2", altered)));
    QVERIFY(!opensslVerifies(temp.path(), publicKey, signature, temp.filePath("altered.txt")));
    QVERIFY(writeFile(temp.filePath("older.txt"), statement("1.1", package)));
    QVERIFY(!opensslVerifies(temp.path(), publicKey, signature, temp.filePath("older.txt")));
    const ProgramRun otherKey = build({"--generate-key", temp.filePath("other.key")});
    QCOMPARE(otherKey.exitCode, 0);
    QVERIFY(!opensslVerifies(temp.path(), otherKey.out.trimmed(), signature, signedText));
}

void TestPackageBuilder::signedEntryAcceptedByServer()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    QCOMPARE(build({"--generate-key", temp.filePath("signing.key")}).exitCode, 0);
    QVERIFY(writeFile(temp.filePath("files/core.bin"), "core"));
    const ProgramRun result = build(
        QStringList {temp.filePath("files")} + identity
        + QStringList {"--version", "1.2", "--link", "http://127.0.0.1/core.zip", "--output",
                       temp.filePath("core.zip"), "--sign", temp.filePath("signing.key")});
    QCOMPARE(result.exitCode, 0);
    const QString catalogue = temp.filePath("catalogue.xml");
    QVERIFY(writeFile(catalogue, "<catalogue>\n" + result.out + "</catalogue>\n"));

    ServerProcess server({"--catalogue", catalogue, "--port", "0"});
    QVERIFY2(server.waitForListening(), server.log().constData());
    QDomDocument reply;
    QVERIFY(reply.setContent(replyOfServer(server.port(), "1.1")));
    QDomDocument entry;
    QVERIFY(entry.setContent(result.out));
    const QDomElement request = reply.documentElement().firstChildElement("request");
    QCOMPARE(childLines(request), childLines(entry.documentElement()));
    QCOMPARE(request.firstChildElement("signature").text().toLatin1(),
             entryValue(result.out, "signature"));
}

void TestPackageBuilder::signingRefusals_data()
{
    QTest::addColumn<QByteArray>("keyText");
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("error");

    const QByteArray seed = QByteArray(32, 'k');
    const QByteArray packageKey = keyFileText(seed, "package");
    const QByteArray publicKey = packageKey.split('\n').at(1).mid(14);
    QTest::newRow("missing key file") << QByteArray() << 0 << 1
                                      << QByteArray("vorn-package-builder: cannot read the key "
                                                    "@/signing.key: No such file or directory\n");
    const QByteArray notAKey = "vorn-package-builder: @/signing.key is not a key file made with "
                               "vorn-package-builder --generate-key\n";
    QTest::newRow("public key instead")
        << QByteArray("# Public key only\n" + seed.toBase64() + "x\n") << 0600 << 1 << notAKey;
    QTest::newRow("seed too short")
        << keyFileText(seed).replace(seed.toBase64(), QByteArray(31, 'k').toBase64()) << 0600 << 1
        << notAKey;
    QTest::newRow("two keys in one file") << packageKey + seed.toBase64() << 0600 << 1 << notAKey;
    QTest::newRow("empty key file") << QByteArray("# nothing\n") << 0600 << 1 << notAKey;
    QTest::newRow("seed without its public key") << "# a key\n" + seed.toBase64() + "\n"
                                                 << 0600 << 1 << notAKey;
    const QByteArray onlyPublic = "vorn-package-builder: @/signing.key holds only a public key; "
                                  "give the file with the secret key, as vorn-package-builder "
                                  "--generate-key wrote it\n";
    QTest::newRow("only the public key line")
        << QByteArray("# Public key: " + publicKey + "\n") << 0600 << 1 << onlyPublic;
    QTest::newRow("public key on the secret line")
        << QByteArray(packageKey).replace(seed.toBase64(), publicKey.mid(17)) << 0600 << 1
        << onlyPublic;
    QTest::newRow("public key as printed") << publicKey + "\n" << 0600 << 1 << onlyPublic;
    QTest::newRow("secret of another key")
        << QByteArray(packageKey).replace(seed.toBase64(), QByteArray(32, 'o').toBase64()) << 0600
        << 1
        << QByteArray("vorn-package-builder: @/signing.key: its secret key does not match the "
                      "public key it names; the file was altered or pieced together. Use the "
                      "key file as vorn-package-builder --generate-key wrote it\n");
    QTest::newRow("reply key")
        << keyFileText(seed, "reply") << 0600 << 1
        << QByteArray("vorn-package-builder: @/signing.key is a reply key, which signs the "
                      "update server's replies (vorn-update-server --reply-key); sign packages "
                      "with a package key of their own (vorn-package-builder --generate-key "
                      "FILE)\n");
    QTest::newRow("key file written before keys named their purpose")
        << keyFileText(seed) << 0600 << 0 << QByteArray();
    QTest::newRow("key readable by others")
        << packageKey << 0644 << 0
        << QByteArray("vorn-package-builder: warning: other users can read the key "
                      "@/signing.key\n");
}

void TestPackageBuilder::signingRefusals()
{
    QFETCH(QByteArray, keyText);
    QFETCH(int, mode);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, error);

    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString keyFile = temp.filePath("signing.key");
    if (mode != 0)
        QVERIFY(writeFile(keyFile, keyText, mode));
    QVERIFY(writeFile(temp.filePath("files/core.bin"), "core"));
    const QString output = temp.filePath("core.zip");
    QVERIFY(writeFile(output, "previous package"));

    const ProgramRun result = build(QStringList {temp.filePath("files")} + identity
                                    + QStringList {"--version", "1", "--link", "http://h/core.zip",
                                                   "--output", output, "--sign", keyFile});
    QCOMPARE(result.exitCode, exitCode);
    QCOMPARE(result.err, error.replace('@', temp.path().toUtf8()));
    QVERIFY(!QFileInfo::exists(output + ".part"));
    if (exitCode != 0) {
        QCOMPARE(result.out, QByteArray());
        QCOMPARE(readFile(output), QByteArray("previous package"));
    } else {
        QCOMPARE(QByteArray::fromBase64(entryValue(result.out, "signature")).size(), 64);
    }
}

QTEST_GUILESS_MAIN(TestPackageBuilder)
#include "tst_packagebuilder.moc"

void TestPackageBuilder::catalogueCheck_data()
{
    // The published catalogue, whose line 2 lists 1.0, line 3 1.1 and line 4 its patch from 1.0,
    // with "from" replaced by "to"; $sha10, $sig10 and $sig11 stand for the entries' values.
    QTest::addColumn<QByteArray>("from");
    QTest::addColumn<QByteArray>("to");
    // Reported on standard error after the catalogue's name, %1 for the test's directory; empty:
    // all well.
    QTest::addColumn<QString>("problem");
    // Checked against the package files, or links and versions alone, as the service does.
    QTest::addColumn<bool>("withFiles");

    QTest::newRow("all well") << QByteArray() << QByteArray() << QString() << true;
    QTest::newRow("without the files, a wrong digest goes unseen")
        << QByteArray("$sha10") << QByteArray(64, '0') << QString() << false;
    QTest::newRow("without the files, a patch from a newer version")
        << QByteArray("from=\"1.0\"") << QByteArray("from=\"1.2\"")
        << QStringLiteral(":4: the patch from 1.2 is not from an older version than its "
                          "entry's, 1.1")
        << false;
    QTest::newRow("wrong digest") << QByteArray("$sha10") << QByteArray(64, '0')
                                  << QStringLiteral(":2: %1/www/core-1.0.zip has the SHA-256 ")
                                  << true;
    QTest::newRow("wrong size") << QByteArray("<size>") << QByteArray("<size>1")
                                << QStringLiteral(":2: %1/www/core-1.0.zip has ") << true;
    QTest::newRow("signature of another version")
        << QByteArray("$sig11") << QByteArray("$sig10")
        << QStringLiteral(":3: the signature is not that of the package's statement "
                          "(vorn/core/app version 1.1) by any of the package keys given")
        << true;
    QTest::newRow("missing file") << QByteArray("/core-1.0.zip<") << QByteArray("/core-0.zip<")
                                  << QStringLiteral(
                                         ":2: %1/www/core-0.zip: No such file or directory")
                                  << true;
    QTest::newRow("patch from a newer version")
        << QByteArray("from=\"1.0\"") << QByteArray("from=\"1.2\"")
        << QStringLiteral(":4: the patch from 1.2 is not from an older version than its "
                          "entry's, 1.1")
        << true;
    QTest::newRow("patch from a version not listed")
        << QByteArray("from=\"1.0\"") << QByteArray("from=\"0.9\"")
        << QStringLiteral(":4: the patch from 0.9: the catalogue lists no version 0.9 of "
                          "vorn/core/app to patch")
        << true;
    QTest::newRow("duplicate version")
        << QByteArray("<version>1.0<") << QByteArray("<version>1.1.0<")
        << QStringLiteral(":3: vorn/core/app version 1.1 is listed already at line 2: give each "
                          "version one entry")
        << true;
    QTest::newRow("two packages at one link")
        << QByteArray("/core-1.0-to-1.1.zip") << QByteArray("/core-1.1.zip")
        << QStringLiteral(":4: the link http://127.0.0.1/core-1.1.zip is the link of the package "
                          "at line 3 too")
        << true;
    QTest::newRow("a staged entry")
        << QByteArray("type=\"app\">")
        << QByteArray("type=\"app\" rollout=\"1.5%\" halt-failures=\"10%\" halt-minimum=\"20\">")
        << QString() << true;
    QTest::newRow("a rollout share without its percent sign")
        << QByteArray("type=\"app\">") << QByteArray("type=\"app\" rollout=\"50\">")
        << QStringLiteral(":2: rollout must be a share from 0% to 100% with at most two "
                          "decimals, not \"50\"")
        << false;
    QTest::newRow("link to another port")
        << QByteArray("127.0.0.1/core-1.0.zip") << QByteArray("127.0.0.1:8080/core-1.0.zip")
        << QStringLiteral(":2: the link names port 8080") << true;
}

void TestPackageBuilder::catalogueCheck()
{
    QFETCH(QByteArray, from);
    QFETCH(QByteArray, to);
    QFETCH(QString, problem);
    QFETCH(bool, withFiles);

    const KeyedDirectory keyed;
    QVERIFY(keyed.ready);
    const QTemporaryDir &temp = keyed.temp;
    QVERIFY(writeFile(temp.filePath("1.0/bin/im-client"), "one"));
    QVERIFY(writeFile(temp.filePath("1.1/bin/im-client"), "two"));
    // Each entry on a line of its own, the patch on the line after its release's.
    QByteArray entries[3];
    const QStringList packages[3] = {{"1.0", "core-1.0.zip"},
                                     {"1.1", "core-1.1.zip"},
                                     {"1.1", "core-1.0-to-1.1.zip", "--patch-from", "1.0"}};
    for (int i = 0; i < 3; ++i) {
        const QStringList &package = packages[i];
        QStringList arguments
            = identity + QStringList {"--version", package[0],
                                      "--link",    "http://127.0.0.1/" + package[1],
                                      "--output",  temp.filePath("www/" + package[1]),
                                      "--sign",    keyed.keyFile};
        if (package.size() > 2)
            arguments << "--patch-from" << temp.filePath("1.0") << "--from-version"
                      << "1.0";
        QVERIFY(QDir(temp.path()).mkpath("www"));
        const ProgramRun built = build(QStringList {temp.filePath(package[0])} + arguments);
        QCOMPARE(built.exitCode, 0);
        entries[i] = built.out.simplified();
    }
    QByteArray catalogue = "<catalogue>\n" + entries[0] + "\n"
        + QByteArray(entries[1]).replace("</component>", "\n" + entries[2] + "\n</component>")
        + "\n</catalogue>\n";
    for (QByteArray *text : {&from, &to}) {
        text->replace("$sha10", entryValue(entries[0], "sha256"));
        text->replace("$sig10", entryValue(entries[0], "signature"));
        text->replace("$sig11", entryValue(entries[1], "signature"));
    }
    if (!from.isEmpty()) {
        QVERIFY(catalogue.contains(from));
        catalogue.replace(catalogue.indexOf(from), from.size(), to);
    }
    QVERIFY(writeFile(temp.filePath("catalogue.xml"), catalogue));

    QStringList arguments {"--check-catalogue", temp.filePath("catalogue.xml")};
    if (withFiles)
        arguments << "--packages" << temp.filePath("www") << "--package-keys" << keyed.publicKey;
    const ProgramRun result = build(arguments);
    if (problem.isEmpty()) {
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.out,
                 temp.filePath("catalogue.xml").toUtf8()
                     + (withFiles ? ": 3 packages checked; each matches its file in "
                                + temp.filePath("www").toUtf8() + " and is signed\n"
                                  : QByteArray(": 3 packages checked; their links and versions "
                                               "are sound (their files were not looked at)\n")));
        return;
    }
    QCOMPARE(result.exitCode, 1);
    const QString line
        = temp.filePath("catalogue.xml") + QString(problem).replace("%1", temp.path());
    QVERIFY2(result.err.contains(line.toUtf8()), result.err.constData());
}

void TestPackageBuilder::releaseRefusals_data()
{
    QTest::addColumn<QStringList>("change"); // after the arguments; the last value of each counts
    QTest::addColumn<QString>("message");

    QTest::newRow("version of an earlier release")
        << QStringList {"--version", "1.0"}
        << QStringLiteral("the version 1.0 is not newer than the earlier release 1.0");
    QTest::newRow("earlier release newer")
        << QStringList {"--earlier", "1.2=1.0"}
        << QStringLiteral("the version 1.1 is not newer than the earlier release 1.2: give a "
                          "higher --version, or --earlier only the releases before it");
    QTest::newRow("earlier release given twice")
        << QStringList {"--earlier", "1.0.0=1.0"}
        << QStringLiteral("the earlier release 1.0.0 is given twice");
    QTest::newRow("address of HTTPS")
        << QStringList {"--publish-url", "https://127.0.0.1/vorn"}
        << QStringLiteral("https://127.0.0.1/vorn/core-1.1.zip: the link must begin with "
                          "http://");
    QTest::newRow("address of another port")
        << QStringList {"--publish-url", "http://127.0.0.1:8080/vorn/"}
        << QStringLiteral("the link names port 8080");
    QTest::newRow("a link of another component")
        << QStringList {"--publish-url", "http://127.0.0.1/themes/"}
        << QStringLiteral("http://127.0.0.1/themes/core-1.1.zip is the link of the package at "
                          "line 4 of the catalogue already");
}

void TestPackageBuilder::releaseRefusals()
{
    QFETCH(QStringList, change);
    QFETCH(QString, message);

    const KeyedDirectory keyed;
    QVERIFY(keyed.ready);
    const QString dir = keyed.temp.path();
    QVERIFY(writeFile(dir + "/1.0/bin/im-client", "1.0"));
    QVERIFY(writeFile(dir + "/1.1/bin/im-client", "1.1"));
    const QByteArray catalogue = "<catalogue>\n<component name='theme' type='plugin'>\n"
                                 "<version>1</version>\n"
                                 "<patch from='0.9' link='http://127.0.0.1/themes/core-1.1.zip'/>\n"
                                 "<link>http://127.0.0.1/themes/t.zip</link></component>\n"
                                 "</catalogue>\n";
    QVERIFY(writeFile(dir + "/catalogue.xml", catalogue));

    // Refused before any release directory is read.
    const ProgramRun result = build(releaseArguments(dir, "1.1")
                                    + QStringList {"--earlier", "1.0=" + dir + "/1.0"} + change);
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.err.contains(message.toUtf8()), result.err.constData());
    QCOMPARE(readFile(dir + "/catalogue.xml"), catalogue);
    QVERIFY(!QFileInfo::exists(dir + "/www"));
}

// Three releases published with one command each: the catalogue lists them with a patch from
// every earlier release, the whole package removes what the last one had, and the update
// server offers an installation of 1.0 its patch.
void TestPackageBuilder::threeReleasesServed()
{
    const KeyedDirectory keyed;
    QVERIFY(keyed.ready);
    const QString dir = keyed.temp.path();
    QVERIFY(writeFile(dir + "/1.0/bin/im-client", "1.0"));
    QVERIFY(writeFile(dir + "/1.1/bin/im-client", "1.1"));
    QVERIFY(writeFile(dir + "/1.1/share/gone.txt", "only in 1.1"));
    QVERIFY(writeFile(dir + "/1.2/bin/im-client", "1.2"));
    QStringList earlier;
    for (const QString version : {"1.0", "1.1", "1.2"}) {
        const ProgramRun result = build(releaseArguments(dir, version) + earlier);
        QCOMPARE(result.exitCode, 0);
        QVERIFY2(result.out.contains("packages checked; each matches its file"),
                 result.err.constData());
        earlier << "--earlier" << version + "=" + dir + "/" + version;
    }

    QDomDocument catalogue;
    QVERIFY(catalogue.setContent(readFile(dir + "/catalogue.xml")));
    QStringList releases;
    for (QDomElement entry = catalogue.documentElement().firstChildElement(); !entry.isNull();
         entry = entry.nextSiblingElement()) {
        QString release = entry.firstChildElement("version").text() + ":";
        for (QDomElement patch = entry.firstChildElement("patch"); !patch.isNull();
             patch = patch.nextSiblingElement("patch"))
            release += " " + patch.attribute("from");
        releases << release;
    }
    QCOMPARE(releases, QStringList({"1.0:", "1.1: 1.0", "1.2: 1.0 1.1"}));
    const QList<ZipEntry> whole = readZip(dir + "/www/vorn/core-1.2.zip");
    QVERIFY(!whole.isEmpty());
    QVERIFY(manifestLines(whole.at(0).data).contains("share|gone.txt remove"));

    ServerProcess server({"--catalogue", dir + "/catalogue.xml"});
    QVERIFY2(server.waitForListening(), server.log().constData());
    QDomDocument reply;
    QVERIFY(reply.setContent(replyOfServer(server.port(), "1.0")));
    const QDomElement patch
        = reply.documentElement().firstChildElement("request").firstChildElement("patch");
    QCOMPARE(patch.attribute("link"), "http://127.0.0.1/vorn/core-1.0-to-1.2.zip");
}
