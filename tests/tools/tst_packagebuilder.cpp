#include "serverprocess.h"

#include <QCryptographicHash>
#include <QDir>
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

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Run build(const QStringList &arguments, const QString &workingDirectory = QString())
{
    QProcess process;
    process.setWorkingDirectory(workingDirectory);
    process.start(QStringLiteral(BUILDER_EXE), arguments);
    Run result;
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
        return result;
    result.exitCode = process.exitCode();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

bool writeFile(const QString &path, const QByteArray &bytes, int mode = 0644)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size()
        && ::chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("missing");
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

    const QString output = temp.filePath("core.zip");
    const Run result = build(
        QStringList {files} + identity
        + QStringList {"--version", "1.2.0", "--link", "http://127.0.0.1/core.zip", "--remove",
                       "lib/libold.so", "--remove", "old.txt", "--output", output});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.err, QByteArray());

    const QList<ZipEntry> entries = readZip(output);
    QCOMPARE(names(entries),
             QList<QByteArray>({"core.xml", ".config/hidden", "bin/im-client", "caf\xe9.txt",
                                "deep/a/b/c.txt", "lib/libnew.so"}));
    const QList<std::pair<QByteArray, uLong>> contents
        = {{"#!/bin/sh\n", 0755}, {library, 0644}, {"h", 0600}, {"latin", 0640}, {"", 0444}};
    const QList<int> order = {2, 5, 1, 3, 4};
    for (int i = 0; i < order.size(); ++i) {
        const ZipEntry &entry = entries.at(order.at(i));
        QCOMPARE(entry.data, contents.at(i).first);
        QCOMPARE(entry.mode, S_IFREG | contents.at(i).second);
        QCOMPARE(entry.madeBy, uLong(3));
    }

    QCOMPARE(manifestLines(entries.at(0).data),
             QStringList({"package vorn/core/app", ".config|hidden add", "bin|im-client add",
                          QString::fromUtf8("|café.txt add"), "deep/a/b|c.txt add",
                          "lib|libnew.so add", "lib|libold.so remove", "|old.txt remove"}));
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
    QTest::newRow("port, query and other file name")
        << QStringLiteral("http://127.0.0.1:8080/a/b/core-1.2.zip?x=1")
        << QStringLiteral("core-1.2.zip") << QByteArray("a/b/core-1.2.xml");
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
    const Run result
        = build(identity + QStringList {"--version", "1", "--link", link, "--remove", "old.txt"},
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

    const Run result = build(QStringList {temp.filePath("files")} + identity
                             + QStringList {"--version",        "1.10",
                                            "--link",           "http://127.0.0.1/core.zip",
                                            "--output",         output,
                                            "--description",    "Core",
                                            "--copyrights",     "(c) Vorn",
                                            "--author",         "Team",
                                            "--webpage",        "http://vorn.example",
                                            "--email",          "team@vorn.example",
                                            "--changelog-file", temp.filePath("changelog.txt"),
                                            "--critical",       "--timestamp",
                                            "4294967295"});
    QCOMPARE(result.exitCode, 0);

    QDomDocument entry;
    QVERIFY2(entry.setContent(result.out), result.out.constData());
    const QDomElement component = entry.documentElement();
    QCOMPARE(component.tagName(), "component");
    QCOMPARE(component.attribute("project"), "vorn");
    QCOMPARE(component.attribute("name"), "core");
    QCOMPARE(component.attribute("type"), "app");
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
    const Run result
        = build(QStringList {temp.filePath("files")} + identity
                + QStringList {"--version", "1.2", "--link", "http://127.0.0.1/core.zip",
                               "--output", temp.filePath("core.zip"), "--changelog", "Fixes"});
    QCOMPARE(result.exitCode, 0);
    const QString catalogue = temp.filePath("catalogue.xml");
    QVERIFY(writeFile(catalogue, "<catalogue>\n" + result.out + "</catalogue>\n"));

    ServerProcess server({"--catalogue", catalogue});
    QVERIFY2(server.waitForListening(), server.log().constData());
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, server.port());
    QVERIFY(socket.waitForConnected(5000));
    socket.write("<s><update><component project='vorn' name='core' type='app' version='1.1' />"
                 "</update></s>");
    QVERIFY(socket.waitForDisconnected(10000));

    QDomDocument reply;
    QVERIFY(reply.setContent(socket.readAll()));
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
    const Run result = build({temp.filePath("files"), "--project", "vorn", "--name", "core",
                              "--type", type, "--version", "1", "--link", "http://h/core.zip",
                              "--output", temp.filePath("core.zip")});
    QCOMPARE(result.exitCode, 0);
    QVERIFY2(result.err.contains(warning), result.err.constData());
    QCOMPARE(names(readZip(temp.filePath("core.zip"))),
             QList<QByteArray>({"core.xml", file.toUtf8()}));
}

void TestPackageBuilder::refusals_data()
{
    // An option with its new value, or alone to leave it out; "directory" names the directory.
    QTest::addColumn<QStringList>("change");
    QTest::addColumn<QString>("file");

    QTest::newRow("version with suffix") << QStringList {"--version", "1.2b"} << QString();
    QTest::newRow("empty version") << QStringList {"--version", ""} << QString();
    QTest::newRow("link without .zip") << QStringList {"--link", "http://h/core"} << QString();
    QTest::newRow("link without host") << QStringList {"--link", "/core.zip"} << QString();
    QTest::newRow("link beyond ASCII")
        << QStringList {"--link", QString::fromUtf8("http://h/zażółć.zip")} << QString();
    QTest::newRow("missing name") << QStringList {"--name"} << QString();
    QTest::newRow("empty name") << QStringList {"--name", ""} << QString();
    QTest::newRow("timestamp beyond 32 bits")
        << QStringList {"--timestamp", "4294967296"} << QString();
    QTest::newRow("removal climbing out") << QStringList {"--remove", "../x"} << QString();
    QTest::newRow("absolute removal") << QStringList {"--remove", "/etc/passwd"} << QString();
    QTest::newRow("removal with empty segment") << QStringList {"--remove", "a//b"} << QString();
    QTest::newRow("removal with dot segment") << QStringList {"--remove", "./b"} << QString();
    QTest::newRow("removal of an added file")
        << QStringList {"--remove", "bin/im-client"} << QString();
    QTest::newRow("missing directory") << QStringList {"directory", "missing"} << QString();
    QTest::newRow("file name beyond Latin-1") << QStringList() << QString::fromUtf8("zażółć.txt");
    QTest::newRow("file named like the manifest") << QStringList() << QStringLiteral("core.xml");
    QTest::newRow("file name longer than 255")
        << QStringList() << QString(120, 'a') + "/" + QString(140, 'b');
}

void TestPackageBuilder::refusals()
{
    QFETCH(QStringList, change);
    QFETCH(QString, file);

    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    QVERIFY(writeFile(temp.filePath("files/bin/im-client"), "x"));
    if (!file.isEmpty())
        QVERIFY(writeFile(temp.filePath("files/" + file), "x"));
    const QString output = temp.filePath("core.zip");
    QVERIFY(writeFile(output, "previous package"));

    QString directory = temp.filePath("files");
    QStringList arguments = identity
        + QStringList {"--version", "1", "--link", "http://h/core.zip", "--output", output};
    if (change.value(0) == "directory") {
        directory = temp.filePath(change.at(1));
    } else if (!change.isEmpty()) {
        const qsizetype at = arguments.indexOf(change.at(0));
        if (at < 0)
            arguments << change;
        else if (change.size() == 1)
            arguments.remove(at, 2);
        else
            arguments[at + 1] = change.at(1);
    }

    const Run result = build(QStringList {directory} + arguments);
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.out, QByteArray());
    QVERIFY(result.err.startsWith("vorn-package-builder: "));
    QCOMPARE(readFile(output), QByteArray("previous package"));
    QVERIFY(!QFileInfo::exists(output + ".part"));
}

QTEST_GUILESS_MAIN(TestPackageBuilder)
#include "tst_packagebuilder.moc"
