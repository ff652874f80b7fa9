#include "ed25519.h"
#include "epolleventdispatcher.h"
#include "keyfiletext.h"
#include "replysignature.h"
#include "serverprocess.h"
#include "testfiles.h"
#include "zuupdaterclient.h"

#include <QDomDocument>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

namespace {

const QByteArray catalogueText = R"(<?xml version="1.0" encoding="UTF-8"?>
<catalogue>
  <component project="vorn" name="core" type="app">
    <version>1.9</version>
    <link>http://127.0.0.1/core-1.9.zip</link>
  </component>
  <component project="vorn" name="core" type="app">
    <version>1.10</version>
    <description>Core</description>
    <copyrights>(c) Vorn</copyrights>
    <author>Team</author>
    <webpage>http://vorn.example</webpage>
    <email>team@vorn.example</email>
    <changelog>Fixes &amp; &lt;more&gt; 'single' "double" zażółć</changelog>
    <link>http://127.0.0.1/core.zip</link>
    <critical>true</critical>
    <timestamp>4294967295</timestamp>
    <size>1234</size>
    <sha256>00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff</sha256>
    <signature>c2ln</signature>
    <patch from='1.0' link='http://127.0.0.1/core-1.0-1.10.zip' size='10' sha256='aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa' signature='c2ln'/>
    <patch from='1.1' link='http://127.0.0.1/core-1.1-1.10.zip'/>
  </component>
  <component project="vorn" name="core" type="app">
    <version>1.2</version>
    <link>http://127.0.0.1/core-1.2.zip</link>
  </component>
  <component project="vorn" name="emoticons" type="plugin">
    <version>1.2</version>
    <link>http://127.0.0.1/emoticons.zip</link>
  </component>
  <component name="theme" type="plugin">
    <version>0.2</version>
    <link>http://127.0.0.1/theme.zip</link>
  </component>
  <component project="kit" name="base" type="app">
    <version>1.0</version>
    <link>http://127.0.0.1/base.zip</link>
  </component>
  <component project="kit" name="themes" type="plugin" offer="always">
    <version>1.0</version>
    <link>http://127.0.0.1/themes.zip</link>
    <sha256>bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb</sha256>
    <size>99</size>
    <patch from='0.9' link='http://127.0.0.1/themes-0.9-1.0.zip'/>
  </component>
  <component project="kit" name="old" type="plugin" offer="always">
    <version>1.0</version>
    <link>http://127.0.0.1/old-1.0.zip</link>
  </component>
  <component project="kit" name="old" type="plugin">
    <version>1.1</version>
    <link>http://127.0.0.1/old.zip</link>
  </component>
  <component project="kit" name="spell" type="plugin" offer="always">
    <version>2.1</version>
    <link>http://127.0.0.1/spell.zip</link>
  </component>
</catalogue>
)";

// Components vorn/b1/app to vorn/bN/app, each with a changelog as long as the updater takes
// one: 255 of them make a reply beyond what it takes.
QByteArray bigComponentEntries(int count)
{
    const QByteArray changelog(64 * 1024, 'x');
    QByteArray components;
    for (int number = 1; number <= count; ++number)
        components += "<component project='vorn' name='b" + QByteArray::number(number)
            + "' type='app'><version>2</version><link>http://127.0.0.1/b.zip</link><changelog>"
            + changelog + "</changelog></component>";
    return components;
}

QByteArray query(const QList<QStringList> &requests)
{
    ZuUpdaterClient client;
    for (const QStringList &r : requests)
        client.addRequest(r[0].toStdString(), r[1].toStdString(), r[2].toStdString(),
                          r[3].toStdString());
    return QByteArray::fromStdString(client.getQuery());
}

// A query of vorn/<prefix>1/app to vorn/<prefix>N/app, version 1, each named once.
QByteArray numberedQuery(const QByteArray &prefix, int count)
{
    QByteArray components;
    for (int number = 1; number <= count; ++number)
        components += "<component project='vorn' name='" + prefix + QByteArray::number(number)
            + "' type='app' version='1'/>";
    return "<s><update>" + components + "</update></s>";
}

// From the address given, if any, to the loopback address of its kind.
bool connectTo(QTcpSocket &socket, quint16 port, const QHostAddress &from = QHostAddress())
{
    if (!from.isNull() && !socket.bind(from))
        return false;
    socket.connectToHost(from.protocol() == QAbstractSocket::IPv6Protocol
                             ? QHostAddress::LocalHostIPv6
                             : QHostAddress::LocalHost,
                         port);
    socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    return socket.waitForConnected(5000);
}

bool send(QTcpSocket &socket, const QByteArray &bytes)
{
    socket.write(bytes);
    return socket.waitForBytesWritten(5000);
}

// Everything the server wrote until it closed the connection.
QByteArray replyOnceClosed(QTcpSocket &socket)
{
    if (socket.state() != QAbstractSocket::UnconnectedState && !socket.waitForDisconnected(10000))
        return "server did not close: " + socket.readAll();
    return socket.readAll();
}

QByteArray exchange(quint16 port, const QByteArray &queryBytes,
                    const QHostAddress &from = QHostAddress())
{
    QTcpSocket socket;
    if (!connectTo(socket, port, from) || !send(socket, queryBytes))
        return "exchange failed";
    return replyOnceClosed(socket);
}

// A catalogue of one component with these children.
QByteArray catalogueWith(const QByteArray &children)
{
    return "<catalogue><component name='c'>" + children + "</component></catalogue>";
}

// One line per request element: "project/name/type" and what it offers.
QStringList outcomes(const QByteArray &reply)
{
    QDomDocument document;
    if (!document.setContent(reply))
        return {"not well-formed: " + QString::fromUtf8(reply)};
    QStringList lines;
    const QDomNodeList requests = document.elementsByTagName("request");
    for (int i = 0; i < requests.size(); ++i) {
        const QDomElement request = requests.at(i).toElement();
        QString offer = "update " + request.firstChildElement("version").text();
        if (!request.firstChildElement("latest").isNull())
            offer = "latest";
        else if (!request.firstChildElement("noSuchComponent").isNull())
            offer = "noSuchComponent";
        lines << QStringLiteral("%1/%2/%3 %4")
                     .arg(request.attribute("project"), request.attribute("name"),
                          request.attribute("type"), offer);
    }
    return lines;
}

// vorn/core/app 1.0, and 1.1 under the rollout the attributes give; each with a patch from 0.9.
QByteArray stagedCatalogue(const QByteArray &rollout)
{
    return "<catalogue>\n"
           "<component project='vorn' name='core' type='app'><version>1.0</version>"
           "<link>http://127.0.0.1/core-1.0.zip</link>"
           "<patch from='0.9' link='http://127.0.0.1/core-0.9-1.0.zip'/></component>\n"
           "<component project='vorn' name='core' type='app' "
        + rollout
        + "><version>1.1</version><link>http://127.0.0.1/core-1.1.zip</link>"
          "<patch from='0.9' link='http://127.0.0.1/core-0.9-1.1.zip'/></component>\n"
          "</catalogue>\n";
}

// The query of vorn/core/app 0.9 with the nonce and, unless it is null, the position element
// holding that text.
QByteArray positionedQuery(const QByteArray &nonce, const QByteArray &position)
{
    return ReplySignature::nonceElement(nonce)
        + (position.isNull() ? QByteArray() : "<position>" + position + "</position>")
        + query({{"vorn", "core", "app", "0.9"}});
}

// The version a reply of one request offers, or what it says instead.
QString offeredVersion(const QByteArray &reply)
{
    const QStringList lines = outcomes(reply);
    return lines.size() == 1 ? lines.constFirst().section(u' ', -1) : lines.join(u';');
}

// The version offered to each position's query of vorn/core/app 0.9, over exchanges that run
// that many at once; what the reply says instead when it offers none.
QStringList offeredAt(const QList<int> &positions, int atOnce)
{
    QStringList offered(positions.size());
    QEventLoop loop;
    qsizetype next = 0;
    int running = 0;
    std::function<void()> startNext = [&] {
        if (next == positions.size()) {
            if (running == 0)
                loop.quit();
            return;
        }
        const qsizetype at = next++;
        ++running;
        auto *socket = new QTcpSocket(&loop);
        auto reply = std::make_shared<QByteArray>();
        QObject::connect(socket, &QTcpSocket::connected, socket, [socket, &positions, at] {
            socket->write(
                positionedQuery(ReplySignature::newNonce(), QByteArray::number(positions.at(at))));
        });
        QObject::connect(socket, &QTcpSocket::readyRead, socket,
                         [socket, reply] { *reply += socket->readAll(); });
        QObject::connect(socket, &QTcpSocket::stateChanged, socket,
                         [&, socket, reply, at](QAbstractSocket::SocketState state) {
                             if (state != QAbstractSocket::UnconnectedState)
                                 return;
                             socket->disconnect();
                             offered[at] = offeredVersion(*reply + socket->readAll());
                             socket->deleteLater();
                             --running;
                             startNext();
                         });
        socket->connectToHost(QHostAddress::LocalHost, 443);
    };
    for (int at = 0; at < atOnce; ++at)
        startNext();
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    loop.exec();
    return offered;
}

QString utcIn(qint64 seconds)
{
    return QDateTime::currentDateTimeUtc().addSecs(seconds).toString(Qt::ISODate);
}

// A report of one package of vorn/core/app.
QByteArray reportOf(const QByteArray &outcome, const QByteArray &to = "1.1")
{
    return "<report version=\"1\"><package component=\"core\" project=\"vorn\" type=\"app\" "
           "from=\"1.0\" to=\""
        + to + "\" delivery=\"patch\" outcome=\"" + outcome + "\" reason=\"none\"/></report>";
}

// Sends the report and half-closes, as the updater does; what the server answered.
QByteArray sendReport(quint16 port, const QByteArray &report)
{
    QTcpSocket socket;
    if (!connectTo(socket, port) || !send(socket, report))
        return "exchange failed";
    ::shutdown(int(socket.socketDescriptor()), SHUT_WR);
    return replyOnceClosed(socket);
}

// The metrics' text, over HTTP/1.0, which closes after the reply.
QByteArray metricsText(quint16 port)
{
    const QByteArray reply = exchange(port, "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    return reply.mid(reply.indexOf("\r\n\r\n") + 4);
}

// The value of the metric whose line starts with that name and those labels, -1 when none.
double metricValue(const QByteArray &text, const QByteArray &series)
{
    for (const QByteArray &line : text.split('\n')) {
        if (line.startsWith(series + ' '))
            return line.mid(series.size() + 1).toDouble();
    }
    return -1;
}

} // namespace

class TestUpdateServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void answers_data();
    void answers();
    void fullRequest_data();
    void fullRequest();
    void twoClientsAtOnce();
    void queryInManyPieces();
    void abusiveClient_data();
    void abusiveClient();
    void clientsBeyondTheBoundWait();
    void reloadUnderLoad_data();
    void reloadUnderLoad();
    void stopLetsExchangesEnd_data();
    void stopLetsExchangesEnd();
    void instancesShareOneLog();
    void timersNeverFireEarly_data();
    void timersNeverFireEarly();
    void badCatalogue_data();
    void badCatalogue();
    void signedReply_data();
    void signedReply();
    void replyKeyRefusals_data();
    void replyKeyRefusals();
    void rolloutOffers_data();
    void rolloutOffers();
    void rolloutShare_data();
    void rolloutShare();
    void reports_data();
    void reports();
    void reportsBeyondTheRate();
    void brokenReleaseHalts_data();
    void brokenReleaseHalts();

private:
    QTemporaryDir temp;
    QString catalogue;
    // The catalogue with 260 components of the longest changelog.
    QString bigCatalogue;
    QString replyKeyFile;
};

void TestUpdateServer::initTestCase()
{
    QVERIFY(temp.isValid());
    catalogue = temp.filePath("catalogue.xml");
    QVERIFY(writeFile(catalogue, catalogueText));
    bigCatalogue = temp.filePath("big.xml");
    QVERIFY(writeFile(bigCatalogue,
                      QByteArray(catalogueText)
                          .replace("</catalogue>", bigComponentEntries(260) + "</catalogue>")));
    replyKeyFile = temp.filePath("reply.key");
    QVERIFY(writeFile(replyKeyFile, keyFileText(QByteArray(32, 'k'), "reply"), 0600));
}

void TestUpdateServer::answers_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QStringList>("expected");
    // The log's words for the exchange, where checked.
    QTest::addColumn<QString>("logged");

    QTest::newRow("newer version, 1.10 after 1.9")
        << query({{"vorn", "core", "app", "1.9"}}) << QStringList {"vorn/core/app update 1.10"}
        << QString("answered vorn/core/app 1.9: update 1.10");
    QTest::newRow("same version") << query({{"vorn", "core", "app", "1.10"}})
                                  << QStringList {"vorn/core/app latest"} << QString();
    QTest::newRow("trailing zero is the same version")
        << query({{"vorn", "emoticons", "plugin", "1.2.0"}})
        << QStringList {"vorn/emoticons/plugin latest"} << QString();
    QTest::newRow("installed newer than published")
        << query({{"vorn", "emoticons", "plugin", "2"}})
        << QStringList {"vorn/emoticons/plugin latest"} << QString();
    QTest::newRow("empty version") << query({{"vorn", "emoticons", "plugin", ""}})
                                   << QStringList {"vorn/emoticons/plugin update 1.2"}
                                   << QString("answered vorn/emoticons/plugin: update 1.2");
    // Compared as the updater compares: a suffix makes it no dotted number, hence older.
    QTest::newRow("version with a suffix")
        << query({{"vorn", "core", "app", "1.10-beta"}})
        << QStringList {"vorn/core/app update 1.10"} << QString();
    QTest::newRow("unknown component")
        << query({{"vorn", "nothing", "app", "1"}})
        << QStringList {"vorn/nothing/app noSuchComponent"} << QString();
    QTest::newRow("known name, other type")
        << query({{"vorn", "core", "plugin", "1"}})
        << QStringList {"vorn/core/plugin noSuchComponent"} << QString();
    QTest::newRow("empty project left out of the query")
        << query({{"", "theme", "plugin", "0.1"}}) << QStringList {"/theme/plugin update 0.2"}
        << QString();
    QTest::newRow("several components, in query order")
        << query({{"vorn", "emoticons", "plugin", "1.0"},
                  {"vorn", "core", "app", "1.10"},
                  {"x", "y", "z", "1"}})
        << QStringList {"vorn/core/app latest", "vorn/emoticons/plugin update 1.2",
                        "x/y/z noSuchComponent"}
        << QString("answered vorn/core/app 1.10: latest; vorn/emoticons/plugin 1.0: update 1.2; "
                   "x/y/z 1: noSuchComponent");
    QTest::newRow("empty query") << query({}) << QStringList {}
                                 << QString("answered an empty query");
    QTest::newRow("unescaped values are taken as written")
        << query({{"o'neil", "a&b", "c<d", "1"}}) << QStringList {"o'neil/a&b/c<d noSuchComponent"}
        << QString();
    // Read back as written: a raw blank other than the space would come back as a space.
    QTest::newRow("quotes, brackets and blanks in values")
        << QByteArray("<s><update><component project='say \"hi\"' name='tab\there\nline' "
                      "type='a>b\r' version='1'/></update></s>")
        << QStringList {"say \"hi\"/tab\there\nline/a>b\r noSuchComponent"} << QString();
    QTest::newRow("text around the query")
        << "Vorn 1.0 starting\n" + query({{"vorn", "core", "app", "1.0"}}) + "\n"
        << QStringList {"vorn/core/app update 1.10"} << QString();
    QTest::newRow("double quotes")
        << QByteArray(R"(<s><update><component project="vorn" name="core" type="app" )"
                      R"(version="1.10"/></update></s>)")
        << QStringList {"vorn/core/app latest"} << QString();
    // Offered to installations that lack it, after what they asked for.
    QTest::newRow("offered unasked to a query of its project")
        << query({{"kit", "base", "app", "1.0"}, {"kit", "spell", "plugin", "2.1"}})
        << QStringList {"kit/base/app latest", "kit/spell/plugin latest",
                        "kit/themes/plugin update 1.0"}
        << QString("answered kit/base/app 1.0: latest; kit/spell/plugin 2.1: latest; "
                   "kit/themes/plugin -: update 1.0");
    QTest::newRow("offered to all, and named: the usual answer")
        << query({{"kit", "themes", "plugin", "1.0"}, {"kit", "spell", "plugin", "2.0"}})
        << QStringList {"kit/spell/plugin update 2.1", "kit/themes/plugin latest"} << QString();
    QTest::newRow("offered to all, not to a query of another project")
        << query({{"vorn", "themes", "plugin", "1.0"}})
        << QStringList {"vorn/themes/plugin noSuchComponent"} << QString();
    // Not as the catalogue sorts them; kit/old is offered by an older entry only.
    QTest::newRow("several offered unasked, in catalogue order")
        << query({{"kit", "base", "app", "1.0"}})
        << QStringList {"kit/base/app latest", "kit/themes/plugin update 1.0",
                        "kit/spell/plugin update 2.1"}
        << QString();
    QTest::newRow("components file element is not a component")
        << QByteArray("<s><update><components/><component name='theme' type='plugin' "
                      "version='0.2' /></update></s>")
        << QStringList {"/theme/plugin latest"} << QString();
}

void TestUpdateServer::answers()
{
    QFETCH(QByteArray, query);
    QFETCH(QStringList, expected);
    QFETCH(QString, logged);

    ServerProcess server({"--catalogue", catalogue});
    QVERIFY2(server.waitForListening(), server.log().constData());
    QCOMPARE(server.port(), quint16(443));

    QCOMPARE(outcomes(exchange(443, query)), expected);
    QVERIFY(server.waitForLog("answered"));
    if (!logged.isEmpty())
        QVERIFY2(server.log().contains(" ms " + logged.toUtf8() + '\n'), server.log().constData());
}

void TestUpdateServer::fullRequest_data()
{
    QTest::addColumn<QStringList>("component"); // with the version the query names
    QTest::addColumn<QStringList>("asked"); // if the query names another component instead
    QTest::addColumn<QStringList>("children");

    const QStringList published {
        "version=1.10",
        "description=Core",
        "copyrights=(c) Vorn",
        "author=Team",
        "webpage=http://vorn.example",
        "email=team@vorn.example",
        QString::fromUtf8("changelog=Fixes & <more> 'single' \"double\" zażółć"),
        "link=http://127.0.0.1/core.zip",
        "critical=true",
        "timestamp=4294967295",
        "sha256=00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff",
        "signature=c2ln",
        "size=1234"};
    QTest::newRow("every field, extras in fixed order")
        << QStringList {"vorn", "core", "app", "0.9"} << QStringList() << published;
    QTest::newRow("the patch for the installed version")
        << QStringList {"vorn", "core", "app", "1.1.0"} << QStringList()
        << published + QStringList {"patch from=1.1 link=http://127.0.0.1/core-1.1-1.10.zip"};
    QTest::newRow("patch attributes in fixed order")
        << QStringList {"vorn", "core", "app", "1.0"} << QStringList()
        << published
            + QStringList {"patch from=1.0 link=http://127.0.0.1/core-1.0-1.10.zip sha256="
                           + QString(64, u'a') + " signature=c2ln size=10"};
    QTest::newRow("no patch for a version that is no number")
        << QStringList {"vorn", "core", "app", "1.0beta"} << QStringList() << published;
    const QStringList themes {
        "version=1.0",
        "description=",
        "copyrights=",
        "author=",
        "webpage=",
        "email=",
        "changelog=",
        "link=http://127.0.0.1/themes.zip",
        "critical=false",
        "timestamp=0",
        "sha256=bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb",
        "size=99"};
    QTest::newRow("offered to all, named with a version it has a patch for")
        << QStringList {"kit", "themes", "plugin", "0.9"} << QStringList()
        << themes + QStringList {"patch from=0.9 link=http://127.0.0.1/themes-0.9-1.0.zip"};
    QTest::newRow("offered unasked: no version to patch")
        << QStringList {"kit", "themes", "plugin", ""} << QStringList {"kit", "base", "app", "0.9"}
        << themes;
    QTest::newRow("defaults") << QStringList {"vorn", "emoticons", "plugin", "1.0"} << QStringList()
                              << QStringList {
                                     "version=1.2",    "description=",
                                     "copyrights=",    "author=",
                                     "webpage=",       "email=",
                                     "changelog=",     "link=http://127.0.0.1/emoticons.zip",
                                     "critical=false", "timestamp=0"};
}

void TestUpdateServer::fullRequest()
{
    QFETCH(QStringList, component);
    QFETCH(QStringList, asked);
    QFETCH(QStringList, children);

    ServerProcess server({"--catalogue", catalogue});
    QVERIFY2(server.waitForListening(), server.log().constData());

    QDomDocument document;
    QVERIFY(document.setContent(exchange(443, query({asked.isEmpty() ? component : asked}))));
    // The component's one request.
    QDomElement request;
    for (QDomElement each = document.documentElement().firstChildElement("request"); !each.isNull();
         each = each.nextSiblingElement("request")) {
        if (each.attribute("project") == component[0] && each.attribute("name") == component[1]
            && each.attribute("type") == component[2]) {
            QVERIFY(request.isNull());
            request = each;
        }
    }
    QVERIFY(!request.isNull());
    QStringList found;
    for (QDomElement child = request.firstChildElement(); !child.isNull();
         child = child.nextSiblingElement()) {
        if (child.tagName() != "patch") {
            found << child.tagName() + "=" + child.text();
            continue;
        }
        // Attributes in document order, which QDomNamedNodeMap does not keep.
        QString line = "patch";
        for (const char *name : {"from", "link", "sha256", "signature", "size"}) {
            if (child.hasAttribute(name))
                line += QStringLiteral(" %1=%2").arg(QLatin1String(name), child.attribute(name));
        }
        found << line;
    }
    QCOMPARE(found, children);
}

void TestUpdateServer::twoClientsAtOnce()
{
    ServerProcess server({"--catalogue", catalogue});
    QVERIFY2(server.waitForListening(), server.log().constData());

    const QByteArray first = query({{"vorn", "core", "app", "1.0"}});
    QTcpSocket slow;
    QVERIFY(connectTo(slow, 443));
    QVERIFY(send(slow, first.left(20)));

    QTcpSocket quick;
    QVERIFY(connectTo(quick, 443));
    QVERIFY(send(quick, query({{"vorn", "emoticons", "plugin", "1.2"}})));
    QCOMPARE(outcomes(replyOnceClosed(quick)), QStringList {"vorn/emoticons/plugin latest"});

    QCOMPARE(slow.bytesAvailable(), 0);
    QVERIFY(send(slow, first.mid(20)));
    QCOMPARE(outcomes(replyOnceClosed(slow)), QStringList {"vorn/core/app update 1.10"});
}

void TestUpdateServer::queryInManyPieces()
{
    ServerProcess server({"--catalogue", catalogue});
    QVERIFY2(server.waitForListening(), server.log().constData());

    const QByteArray bytes = query({{"vorn", "core", "app", "1.0"}});
    QTcpSocket socket;
    QVERIFY(connectTo(socket, 443));
    for (qsizetype i = 0; i < bytes.size() - 1; ++i)
        QVERIFY(send(socket, bytes.mid(i, 1)));
    // The last ">" of "</s>" is missing: the query is not complete yet.
    QVERIFY(!socket.waitForReadyRead(300));
    QVERIFY(send(socket, bytes.right(1)));
    QCOMPARE(outcomes(replyOnceClosed(socket)), QStringList {"vorn/core/app update 1.10"});
}

void TestUpdateServer::abusiveClient_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("connections"); // opened by the abuser
    QTest::addColumn<QStringList>("from"); // by turns, if any, added to loopback
    QTest::addColumn<QByteArray>("sent"); // on each
    QTest::addColumn<bool>("drips"); // then a blank at a time, without end
    // Of the connections, those taken before the bound per address refuses the others; they
    // end at the deadline. 0: no bound.
    QTest::addColumn<int>("taken");
    QTest::addColumn<QByteArray>("log"); // how the server ends the abuser's exchange

    const QStringList deadline {"--exchange-timeout", "1"};
    QTest::newRow("never reads its reply")
        << deadline << 1 << QStringList() << numberedQuery("b", 240) << false << 0
        << QByteArray("timed out during the reply, closed");
    QTest::newRow("drips its query")
        << deadline << 1 << QStringList() << QByteArray("<s><update>") << true << 0
        << QByteArray("timed out before a complete query, closed");
    QTest::newRow("oversized query")
        << QStringList {"--max-query-size", "1000"} << 1 << QStringList()
        << "<s><update>" + QByteArray(1024 * 1024, ' ') << false << 0
        << QByteArray("query too large, closed");
    QTest::newRow("too many components")
        << QStringList {"--max-components", "3"} << 1 << QStringList()
        << query({{"a", "b1", "c", "1"},
                  {"a", "b2", "c", "1"},
                  {"a", "b3", "c", "1"},
                  {"a", "b4", "c", "1"}})
        << false << 0 << QByteArray("more than 3 components, closed");
    QTest::newRow("reply beyond what the updater takes")
        << QStringList() << 1 << QStringList() << numberedQuery("b", 260) << false << 0
        << QByteArray("reply too large for the updater, closed");
    // Each would be answered whole: a short query could ask for a large reply. Written by
    // hand, since the client library names each component once.
    QTest::newRow("a component named twice")
        << QStringList() << 1 << QStringList()
        << QByteArray("<s><update><component project='vorn' name='b1' type='app' version='1'/>"
                      "<component project='vorn' name='core' type='app' version='1'/>"
                      "<component project='vorn' name='b1' type='app' version='2'/>"
                      "</update></s>")
        << false << 0 << QByteArray("a component named twice, closed");
    QTest::newRow("too many connections from one address")
        << deadline + QStringList {"--max-connections-per-address", "2"} << 3 << QStringList()
        << QByteArray("<s>") << false << 2
        << QByteArray("too many connections from this address, closed");
    // The kernel spreads one address's connections over the loops.
    QTest::newRow("too many connections from one address, over several event loops")
        << deadline + QStringList {"--max-connections-per-address", "2", "--event-loops", "4"} << 8
        << QStringList() << QByteArray("<s>") << false << 2
        << QByteArray("too many connections from this address, closed");
    // A host or network is given a whole /64 and may pick any address of it. Listening on "::",
    // the genuine client comes as an IPv4-mapped address.
    QTest::newRow("too many connections from one IPv6 /64")
        << QStringList {"--listen", "::"} << 80 << QStringList {"fd00::1", "fd00::2"}
        << QByteArray("<s>") << false << 32
        << QByteArray("too many connections from this address's /64, closed");
}

// The abuser is cut off, and a genuine client from another address gets its whole reply
// meanwhile.
void TestUpdateServer::abusiveClient()
{
    QFETCH(QStringList, options);
    QFETCH(int, connections);
    QFETCH(QStringList, from);
    QFETCH(QByteArray, sent);
    QFETCH(bool, drips);
    QFETCH(int, taken);
    QFETCH(QByteArray, log);

    for (const QString &address : from)
        QCOMPARE(
            QProcess::execute("ip", {"addr", "replace", address + "/64", "dev", "lo", "nodad"}), 0);
    ServerProcess server(QStringList {"--catalogue", bigCatalogue} + options);
    QVERIFY2(server.waitForListening(), server.log().constData());
    std::vector<std::unique_ptr<QTcpSocket>> abuser;
    for (int i = 0; i < connections; ++i) {
        abuser.push_back(std::make_unique<QTcpSocket>());
        QTcpSocket &socket = *abuser.back();
        // Takes in no more than this: the rest stays in the kernel's buffers.
        socket.setReadBufferSize(4096);
        // A connection beyond the bound per address may be reset before its handshake is seen
        // here.
        QVERIFY(connectTo(socket, 443,
                          from.isEmpty() ? QHostAddress() : QHostAddress(from.at(i % from.size())))
                || (taken > 0 && i >= taken));
        socket.write(sent);
        socket.flush();
    }

    QCOMPARE(
        outcomes(exchange(443, query({{"vorn", "core", "app", "1.0"}}), QHostAddress("127.0.0.2"))),
        QStringList {"vorn/core/app update 1.10"});
    // A drop that fails has met the server's close, whose log line may still be on its way.
    while (drips && !server.waitForLog(log, 100) && send(*abuser.front(), " ")) { }
    QVERIFY2(server.waitForLog(log), server.log().constData());
    for (const auto &socket : abuser) {
        socket->setReadBufferSize(0);
        QVERIFY(socket->state() == QAbstractSocket::UnconnectedState
                || socket->waitForDisconnected(10000));
        // Only a reply under way has bytes to leave.
        if (!log.contains("during the reply"))
            QCOMPARE(socket->readAll(), QByteArray());
    }
    // Counted once they end: the socket may try a refused connection again.
    if (taken > 0) {
        const QByteArray timedOut = "timed out before a complete query";
        QVERIFY(server.waitForLog(timedOut, 10000, taken));
        QCOMPARE(server.log().count(timedOut), taken);
    }
}

void TestUpdateServer::clientsBeyondTheBoundWait()
{
    ServerProcess server({"--catalogue", catalogue, "--max-connections", "1"});
    QVERIFY2(server.waitForListening(), server.log().constData());

    const QByteArray bytes = query({{"vorn", "core", "app", "1.0"}});
    QTcpSocket first;
    QVERIFY(connectTo(first, 443));
    QVERIFY(send(first, bytes.left(20)));
    QTcpSocket second;
    QVERIFY(connectTo(second, 443));
    QVERIFY(send(second, bytes));
    QVERIFY(!second.waitForReadyRead(500));
    QVERIFY(send(first, bytes.mid(20)));
    QCOMPARE(outcomes(replyOnceClosed(first)), QStringList {"vorn/core/app update 1.10"});
    QCOMPARE(outcomes(replyOnceClosed(second)), QStringList {"vorn/core/app update 1.10"});
}

void TestUpdateServer::reloadUnderLoad_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("replacement");
    QTest::addColumn<QByteArray>("log");
    QTest::addColumn<QString>("offered");

    const QByteArray valid("<catalogue><component project='vorn' name='core' type='app'>"
                           "<version>3.0</version><link>http://h/c.zip</link></component>"
                           "</catalogue>");
    QTest::newRow("valid catalogue")
        << QStringList() << valid << QByteArray("catalogue reloaded, 1 components published")
        << QStringLiteral("3.0");
    QTest::newRow("broken catalogue")
        << QStringList() << QByteArray("<catalogue><component project='vorn'")
        << QByteArray("catalogue not reloaded, the old one stays") << QStringLiteral("1.10");
    QTest::newRow("valid catalogue, seen by every event loop")
        << QStringList {"--event-loops", "4"} << valid
        << QByteArray("catalogue reloaded, 1 components published") << QStringLiteral("3.0");
}

// A wave of checks goes on while the catalogue is replaced: none fails, each is answered from
// one catalogue whole, and every check after the reload gets the new one.
void TestUpdateServer::reloadUnderLoad()
{
    QFETCH(QStringList, options);
    QFETCH(QByteArray, replacement);
    QFETCH(QByteArray, log);
    QFETCH(QString, offered);

    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("catalogue.xml"), catalogueText));
    ServerProcess server(QStringList {"--catalogue", dir.filePath("catalogue.xml")} + options);
    QVERIFY2(server.waitForListening(), server.log().constData());
    QProcess wave;
    wave.start(QStringLiteral(LOAD_EXE),
               {"127.0.0.1", "443", "20", "3", "--expect", "<version>1.10</version>", "--expect",
                "<version>3.0</version>"});
    QVERIFY(server.waitForLog("answered"));

    QVERIFY(writeFile(dir.filePath("catalogue.xml"), replacement));
    server.signal(SIGHUP);
    QVERIFY2(server.waitForLog(log), server.log().constData());
    // Enough that the kernel hands some to each event loop.
    for (int i = 0; i < 16; ++i)
        QCOMPARE(outcomes(exchange(443, query({{"vorn", "core", "app", "1.0"}}))),
                 QStringList {"vorn/core/app update " + offered});

    // The event loop reads the server's log meanwhile, so that it never waits to write it.
    QTRY_VERIFY_WITH_TIMEOUT(wave.state() == QProcess::NotRunning, 20000);
    const QByteArray result = wave.readAllStandardOutput();
    QVERIFY2(result.contains("\nfailures=0\n") && result.contains("\nunmatched=0"),
             result.constData());
    QCOMPARE(result.contains("matched.1=0\n"), offered == "1.10");
}

void TestUpdateServer::stopLetsExchangesEnd_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("underWay"); // connections with half a query when the server stops

    QTest::newRow("one event loop") << QStringList {"--event-loops", "1"} << 1;
    QTest::newRow("several event loops") << QStringList {"--event-loops", "4"} << 8;
    // Replies that wait to be signed together when the stop comes are still signed and sent.
    QTest::newRow("several event loops, signed replies")
        << QStringList {"--event-loops", "4", "--reply-key", replyKeyFile} << 8;
}

void TestUpdateServer::stopLetsExchangesEnd()
{
    QFETCH(QStringList, options);
    QFETCH(int, underWay);

    ServerProcess server(QStringList {"--catalogue", catalogue} + options);
    QVERIFY2(server.waitForListening(), server.log().constData());

    const QByteArray bytes = query({{"vorn", "core", "app", "1.0"}});
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    for (int i = 0; i < underWay; ++i) {
        sockets.push_back(std::make_unique<QTcpSocket>());
        QVERIFY(connectTo(*sockets.back(), 443));
        QVERIFY(send(*sockets.back(), bytes.left(20)));
    }
    QCOMPARE(outcomes(exchange(443, bytes)), QStringList {"vorn/core/app update 1.10"});
    // A second server is refused the port: sharing it would split the clients unnoticed.
    ServerProcess second(QStringList {"--catalogue", catalogue} + options);
    QVERIFY(second.waitForExitCode() > 0);
    QVERIFY2(second.log().contains("Address already in use"), second.log().constData());

    server.signal(SIGTERM);
    // Those still waiting to be accepted are under way too.
    QVERIFY2(server.waitForLog(
                 QStringLiteral("stopping, %1 exchanges under way").arg(underWay).toUtf8()),
             server.log().constData());
    QTcpSocket late;
    late.connectToHost(QHostAddress::LocalHost, 443);
    QVERIFY(!late.waitForConnected(5000));
    for (const auto &socket : sockets) {
        QVERIFY(send(*socket, bytes.mid(20)));
        QCOMPARE(outcomes(replyOnceClosed(*socket)), QStringList {"vorn/core/app update 1.10"});
    }
    QCOMPARE(server.waitForExitCode(), 0);
    QVERIFY(server.log().endsWith("vorn-update-server: stopped\n"));
}

// Instances behind one balancer may append to one log file: each exchange still has a line,
// whole, though the two write at once.
void TestUpdateServer::instancesShareOneLog()
{
    const QString logFile = temp.filePath("instances.log");
    const QStringList ports {"8443", "8444"};
    std::vector<std::unique_ptr<ServerProcess>> servers;
    std::vector<std::unique_ptr<QProcess>> waves;
    for (const QString &port : ports) {
        servers.push_back(std::make_unique<ServerProcess>(
            QStringList {"--catalogue", catalogue, "--port", port}, logFile));
        QVERIFY(servers.back()->waitForLog("listening on", 10000, qsizetype(servers.size())));
    }
    for (const QString &port : ports) {
        waves.push_back(std::make_unique<QProcess>());
        waves.back()->start(QStringLiteral(LOAD_EXE), {"127.0.0.1", port, "16", "2"});
    }
    qsizetype exchanges = 0;
    for (const auto &wave : waves) {
        QVERIFY(wave->waitForFinished(20000));
        const QByteArray result = wave->readAllStandardOutput();
        QVERIFY2(result.contains("\nfailures=0\n"), result.constData());
        exchanges += QRegularExpression(QStringLiteral("^exchanges=(\\d+)$"),
                                        QRegularExpression::MultilineOption)
                         .match(QString::fromUtf8(result))
                         .captured(1)
                         .toLongLong();
    }
    for (const auto &server : servers) {
        server->signal(SIGTERM);
        QCOMPARE(server->waitForExitCode(), 0);
    }

    const QRegularExpression whole(QStringLiteral(
        "^(\\S+Z 127\\.[.\\d]+:\\d+ \\d+ ms answered vorn/core/app 1\\.0: update 1\\.10"
        "|vorn-update-server: .*)$"));
    QList<QByteArray> lines = servers.back()->log().split('\n');
    QCOMPARE(lines.takeLast(), QByteArray());
    qsizetype answered = 0;
    for (const QByteArray &line : std::as_const(lines)) {
        QVERIFY2(whole.match(QString::fromUtf8(line)).hasMatch(), line.constData());
        answered += line.contains(" ms answered ");
    }
    QVERIFY(exchanges > 0);
    QCOMPARE(answered, exchanges);
}

void TestUpdateServer::timersNeverFireEarly_data()
{
    QTest::addColumn<int>("interval"); // ms

    // The signing hold's.
    QTest::newRow("1 ms") << 1;
    QTest::newRow("3 ms") << 3;
}

// A timer of the server's event loops waits its whole interval, however late in a millisecond
// it starts, while the loop is woken all the time, as a busy server's is.
void TestUpdateServer::timersNeverFireEarly()
{
    QFETCH(int, interval);

    std::vector<qint64> waited;
    std::unique_ptr<QThread> thread(QThread::create([&] {
        QEventLoop loop;
        QTimer busy;
        busy.start(0);
        QElapsedTimer clock;
        QTimer timer;
        timer.setTimerType(Qt::PreciseTimer);
        timer.setSingleShot(true);
        QObject::connect(&timer, &QTimer::timeout, [&] {
            waited.push_back(clock.nsecsElapsed());
            if (waited.size() == 20)
                return loop.quit();
            clock.start();
            timer.start(interval);
        });
        clock.start();
        timer.start(interval);
        loop.exec();
    }));
    thread->setEventDispatcher(new EpollEventDispatcher);
    thread->start();
    QVERIFY(thread->wait(10000));
    QCOMPARE(waited.size(), size_t(20));
    for (qint64 nanoseconds : waited)
        QVERIFY2(nanoseconds >= interval * 1000000LL, QByteArray::number(nanoseconds));
}

void TestUpdateServer::badCatalogue_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("message");

    const QByteArray link = "<link>http://h/c.zip</link>";
    QTest::newRow("other root") << QByteArray("<update/>") << QStringLiteral("root element");
    QTest::newRow("not well-formed")
        << QByteArray("<catalogue><component name='c'>") << QStringLiteral(":1:");
    QTest::newRow("missing link") << catalogueWith("<version>1</version>")
                                  << QStringLiteral("<link> is missing");
    QTest::newRow("version with suffix")
        << catalogueWith("<version>1.0b</version>" + link) << QStringLiteral("<version>");
    QTest::newRow("missing version") << catalogueWith(link) << QStringLiteral("<version>");
    QTest::newRow("patch from a version that is no number")
        << catalogueWith("<version>2</version>" + link + "<patch from='1.x' link='l'/>")
        << QStringLiteral("from of <patch> must be dotted decimal numbers, not \"1.x\"");
    QTest::newRow("patch without from")
        << catalogueWith("<version>2</version>" + link + "<patch link='l'/>")
        << QStringLiteral("<patch> needs from");
    QTest::newRow("patch without link")
        << catalogueWith("<version>2</version>" + link + "<patch from='1'/>")
        << QStringLiteral("<patch> needs a link");
    QTest::newRow("patch with an unknown attribute")
        << catalogueWith("<version>2</version>" + link + "<patch from='1' link='l' to='2'/>")
        << QStringLiteral("unknown attribute to");
    QTest::newRow("unknown element")
        << catalogueWith("<version>1</version><sha1/>" + link) << QStringLiteral("<sha1>");
    QTest::newRow("critical in capitals")
        << catalogueWith("<version>1</version><critical>TRUE</critical>" + link)
        << QStringLiteral("<critical>");
    QTest::newRow("timestamp beyond 32 bits")
        << catalogueWith("<version>1</version><timestamp>4294967296</timestamp>" + link)
        << QStringLiteral("<timestamp>");
    // The updater would refuse every reply that carries them.
    QTest::newRow("changelog beyond 64 KiB")
        << catalogueWith("<version>1</version><changelog>" + QByteArray(64 * 1024 + 1, 'x')
                         + "</changelog>" + link)
        << QStringLiteral("<changelog> holds 65537 characters; the updater accepts at most 65536");
    QTest::newRow("description beyond 4 KiB")
        << catalogueWith("<version>1</version><description>" + QByteArray(4097, 'x')
                         + "</description>" + link)
        << QStringLiteral("<description> holds 4097 characters");
    QTest::newRow("offered to all but always")
        << QByteArray("<catalogue>\n<component name='c' offer='yes'>\n<version>1</version>" + link
                      + "</component></catalogue>")
        << QStringLiteral(":2: offer must be \"always\", not \"yes\"");
    // The line of the bad element, not of the component's end.
    QTest::newRow("version on its own line")
        << QByteArray("<catalogue>\n<component name='c'>\n<version>1.x</version>\n" + link
                      + "\n</component></catalogue>")
        << QStringLiteral(":3: <version> must be dotted decimal numbers, not \"1.x\"");
    QTest::newRow("missing link, at its component")
        << QByteArray("<catalogue>\n<component name='c'>\n<version>1</version>\n</component>"
                      "</catalogue>")
        << QStringLiteral(":2: <link> is missing");
    QTest::newRow("digest not hex") << catalogueWith("<version>1</version>" + link + "<sha256>"
                                                     + QByteArray(64, 'z') + "</sha256>")
                                    << QStringLiteral("<sha256> must be 64 hex digits, not \"zzz");
    QTest::newRow("digest too short")
        << catalogueWith("<version>1</version>" + link + "<sha256>00ff</sha256>")
        << QStringLiteral("<sha256> must be 64 hex digits");
    QTest::newRow("size not a number")
        << catalogueWith("<version>1</version>" + link + "<size>12 kB</size>")
        << QStringLiteral("<size> must be a decimal number of bytes, not \"12 kB\"");
    QTest::newRow("patch size negative")
        << QByteArray("<catalogue>\n<component name='c'><version>2</version>" + link
                      + "\n\n<patch from='1' link='l' size='-1'/></component></catalogue>")
        << QStringLiteral(":4: size of <patch> must be a decimal number of bytes");
    const auto staged = [&link](const QByteArray &attributes) {
        return "<catalogue>\n<component name='c' " + attributes + ">\n<version>1</version>" + link
            + "</component></catalogue>";
    };
    QTest::newRow("a share beyond 100 %")
        << staged("rollout='100.01%'")
        << QStringLiteral(":2: rollout must be a share from 0% to 100% with at most two "
                          "decimals, not \"100.01%\"");
    QTest::newRow("a share of three decimals")
        << staged("rollout='1.125%'") << QStringLiteral("rollout must be a share");
    QTest::newRow("a share without its percent sign")
        << staged("rollout='5'") << QStringLiteral("rollout must be a share");
    QTest::newRow("a share and a schedule")
        << staged("rollout='5%' rollout-start='2026-12-10T00:00:00Z' rollout-duration='7d'")
        << QStringLiteral("give either rollout or rollout-start and rollout-duration, not both");
    QTest::newRow("a start without a duration")
        << staged("rollout-start='2026-12-10T00:00:00Z'")
        << QStringLiteral("rollout-start and rollout-duration go together");
    QTest::newRow("a start in local time")
        << staged("rollout-start='2026-12-10T00:00:00' rollout-duration='7d'")
        << QStringLiteral("rollout-start must be a UTC time such as 2026-12-10T00:00:00Z, not "
                          "\"2026-12-10T00:00:00\"");
    QTest::newRow("a duration in words")
        << staged("rollout-start='2026-12-10T00:00:00Z' rollout-duration='7 days'")
        << QStringLiteral("rollout-duration must be a whole number of days, hours, minutes or "
                          "seconds such as 7d, not \"7 days\"");
    QTest::newRow("a halt rule without a rollout")
        << staged("halt-failures='5%'")
        << QStringLiteral(":2: halt-failures and halt-minimum need a rollout");
    QTest::newRow("a failure share beyond 100 %")
        << staged("rollout='5%' halt-failures='150%'")
        << QStringLiteral("halt-failures must be a share from 0% to 100%");
    QTest::newRow("a minimum of no reports")
        << staged("rollout='5%' halt-minimum='0'")
        << QStringLiteral("halt-minimum must be a number of reports from 1, not \"0\"");
    QTest::newRow("patch link beyond 4 KiB")
        << catalogueWith("<version>2</version>" + link + "<patch from='1' link='"
                         + QByteArray(4097, 'x') + "'/>")
        << QStringLiteral("link of <patch> holds 4097 characters");
}

void TestUpdateServer::badCatalogue()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, message);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeFile(dir.filePath("bad.xml"), text));

    ServerProcess server({"--catalogue", dir.filePath("bad.xml")});
    QCOMPARE(server.waitForExitCode(), 1);
    QVERIFY2(server.log().contains(message.toUtf8()), server.log().constData());
}

void TestUpdateServer::signedReply_data()
{
    QTest::addColumn<bool>("withNonce");
    QTest::addColumn<QByteArray>("replacement"); // key file written before a SIGHUP; empty: none
    QTest::addColumn<QByteArray>("replacedSeed"); // the seed signing afterwards; empty: the old
    QTest::addColumn<int>("updaters"); // asking at once, so that their replies are signed together
    QTest::addColumn<QList<QStringList>>("asked");
    QTest::addColumn<QStringList>("answered");
    QTest::addColumn<int>("readStep"); // the bytes each updater takes at a time; 0: all at once
    const QList<QStringList> core {{"vorn", "core", "app", "1.0"}};
    const QStringList update {"vorn/core/app update 1.10"};
    const QByteArray newSeed(32, 'n');
    QTest::newRow("the updater's nonce in front of the query")
        << true << QByteArray() << QByteArray() << 1 << core << update << 0;
    QTest::newRow("no nonce: an updater that does not ask")
        << false << QByteArray() << QByteArray() << 1 << core << update << 0;
    QTest::newRow("a new key on SIGHUP")
        << true << keyFileText(newSeed, "reply") << newSeed << 1 << core << update << 0;
    QTest::newRow("a key file written before keys named their purpose, on SIGHUP")
        << true << keyFileText(newSeed) << newSeed << 1 << core << update << 0;
    QTest::newRow("a broken key on SIGHUP: the old one stays")
        << true << QByteArray("not a key") << QByteArray() << 1 << core << update << 0;
    QTest::newRow("a package key on SIGHUP: the old one stays")
        << true << keyFileText(newSeed, "package") << QByteArray() << 1 << core << update << 0;
    QTest::newRow("many updaters at once")
        << true << QByteArray() << QByteArray() << 24 << core << update << 0;
    // Made a request at a time instead of whole.
    QTest::newRow("a reply of several pieces")
        << true << QByteArray() << QByteArray() << 2
        << QList<QStringList> {{"vorn", "b1", "app", "1"}, {"vorn", "b2", "app", "1"}}
        << QStringList {"vorn/b1/app update 2", "vorn/b2/app update 2"} << 0;
    QTest::newRow("components offered unasked")
        << true << QByteArray() << QByteArray() << 2
        << QList<QStringList> {{"kit", "base", "app", "1.0"}, {"kit", "manual", "plugin", "2"}}
        << QStringList {"kit/base/app latest", "kit/manual/plugin latest",
                        "kit/themes/plugin update 1.0", "kit/spell/plugin update 2.1"}
        << 0;
    QTest::newRow("components offered unasked, in a reply of several pieces")
        << true << QByteArray() << QByteArray() << 2
        << QList<QStringList> {{"kit", "base", "app", "1.0"}}
        << QStringList {"kit/base/app latest", "kit/themes/plugin update 1.0",
                        "kit/spell/plugin update 2.1", "kit/manual/plugin update 2"}
        << 0;
    // Read a little at a time: the server finds the socket full again and again, at last while
    // the signature is made, and must go on once there is room.
    QList<QStringList> many;
    QStringList manyAnswered;
    for (int number = 1; number <= 6; ++number) {
        many << QStringList {"vorn", "b" + QString::number(number), "app", "1"};
        manyAnswered << "vorn/b" + QString::number(number) + "/app update 2";
    }
    QTest::newRow("large replies read slowly")
        << true << QByteArray() << QByteArray() << 4 << many << manyAnswered << 2048;
}

// Every reply carries the reply key's signature over itself, the query and the nonce.
void TestUpdateServer::signedReply()
{
    QFETCH(bool, withNonce);
    QFETCH(QByteArray, replacement);
    QFETCH(QByteArray, replacedSeed);
    QFETCH(int, updaters);
    QFETCH(QList<QStringList>, asked);
    QFETCH(QStringList, answered);
    QFETCH(int, readStep);
    const QByteArray seed(32, 'k');
    QTemporaryDir dir;
    const QByteArray manual
        = "<component project='kit' name='manual' type='plugin' offer='always'><version>2</version>"
          "<link>http://127.0.0.1/manual.zip</link><changelog>"
        + QByteArray(64 * 1024, 'x') + "</changelog></component>";
    QVERIFY(
        writeFile(dir.filePath("catalogue.xml"),
                  QByteArray(catalogueText)
                      .replace("</catalogue>", bigComponentEntries(6) + manual + "</catalogue>")));
    QVERIFY(writeFile(dir.filePath("reply.key"), keyFileText(seed, "reply"), 0600));
    QStringList arguments {"--catalogue", dir.filePath("catalogue.xml"), "--reply-key",
                           dir.filePath("reply.key")};
    // A reply that stalls is cut off well before the reader would give up.
    if (readStep > 0)
        arguments << "--exchange-timeout"
                  << "3";
    ServerProcess server(arguments);
    QVERIFY2(server.waitForListening(), server.log().constData());
    if (!replacement.isEmpty()) {
        QVERIFY(writeFile(dir.filePath("reply.key"), replacement, 0600));
        server.signal(SIGHUP);
        QVERIFY(server.waitForLog(!replacedSeed.isEmpty()
                                      ? "reply key reloaded"
                                      : "reply key not reloaded, the old one stays"));
    }

    const QByteArray queried = query(asked);
    QByteArrayList nonces;
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    for (int at = 0; at < updaters; ++at) {
        nonces << (withNonce ? ReplySignature::newNonce() : QByteArray());
        sockets.push_back(std::make_unique<QTcpSocket>());
        // What the socket does not take stays in the kernel's buffers.
        if (readStep > 0)
            sockets.back()->setReadBufferSize(readStep);
        QVERIFY(connectTo(*sockets.back(), 443));
        QVERIFY(send(*sockets.back(),
                     (withNonce ? ReplySignature::nonceElement(nonces.last()) : QByteArray())
                         + queried));
    }
    const QString key = QString::fromLatin1(
        Ed25519::publicKey(replacedSeed.isEmpty() ? seed : replacedSeed).toBase64());
    QByteArrayList replies(updaters);
    const auto open = [&] {
        return std::any_of(sockets.cbegin(), sockets.cend(), [](const auto &socket) {
            return socket->state() != QAbstractSocket::UnconnectedState;
        });
    };
    for (QDeadlineTimer bound(30000); readStep > 0 && open() && !bound.hasExpired();) {
        QTest::qWait(1);
        for (int at = 0; at < updaters; ++at)
            replies[at] += sockets[at]->readAll();
    }
    for (int at = 0; at < updaters; ++at) {
        const QByteArray reply = replies[at] + replyOnceClosed(*sockets[at]);
        QCOMPARE(outcomes(reply), answered);
        QCOMPARE(ReplySignature::verify(reply, {key}, nonces.at(at), queried).text(), QString());
        QCOMPARE(ReplySignature::verify(reply, {key}, ReplySignature::newNonce(), queried).text(),
                 ReplySignature::notForThisExchange().text());
    }
}

void TestUpdateServer::replyKeyRefusals_data()
{
    QTest::addColumn<QByteArray>("keyText");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QByteArray>("error");

    const QByteArray seed(32, 'k');
    const QByteArray replyKey = keyFileText(seed, "reply");
    QTest::newRow("package key")
        << keyFileText(seed, "package") << 0600
        << QByteArray("@/reply.key is a package key, which signs packages (vorn-package-builder "
                      "--sign); sign replies with a reply key of their own (vorn-package-builder "
                      "--generate-reply-key FILE)\n");
    QTest::newRow("secret of another key")
        << QByteArray(replyKey).replace(seed.toBase64(), QByteArray(32, 'o').toBase64()) << 0600
        << QByteArray("@/reply.key: its secret key does not match the public key it names; the "
                      "file was altered or pieced together. Use the key file as "
                      "vorn-package-builder --generate-reply-key wrote it\n");
    QTest::newRow("only the public key")
        << QByteArray(replyKey).replace(seed.toBase64() + '\n', QByteArray()) << 0600
        << QByteArray("@/reply.key holds only a public key; give the file with the secret key, "
                      "as vorn-package-builder --generate-reply-key wrote it\n");
    QTest::newRow("key readable by others")
        << replyKey << 0640
        << QByteArray("@/reply.key can be read by other users; a reply key is the server's "
                      "alone (chmod 600)\n");
}

// The server does not start with a key that is not a reply key of its own.
void TestUpdateServer::replyKeyRefusals()
{
    QFETCH(QByteArray, keyText);
    QFETCH(int, mode);
    QFETCH(QByteArray, error);

    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("reply.key"), keyText, mode));
    ServerProcess server({"--catalogue", catalogue, "--reply-key", dir.filePath("reply.key")});
    QCOMPARE(server.waitForExitCode(), 1);
    QCOMPARE(server.log(), "vorn-update-server: " + error.replace('@', dir.path().toUtf8()));
}

void TestUpdateServer::rolloutOffers_data()
{
    QTest::addColumn<QByteArray>("rollout"); // the attributes of the entry of 1.1
    QTest::addColumn<QByteArray>("position"); // as sent; null: none
    QTest::addColumn<QString>("offered");
    QTest::addColumn<int>("signedPosition"); // in the signed statement; -1: none

    const auto scheduled = [](qint64 startIn) {
        return QStringLiteral("rollout-start='%1' rollout-duration='7d'")
            .arg(utcIn(startIn))
            .toUtf8();
    };
    QTest::newRow("0 %: nobody, the previous version")
        << QByteArray("rollout='0%'") << QByteArray("0") << "1.0" << 0;
    QTest::newRow("1 %: position 99 inside")
        << QByteArray("rollout='1%'") << QByteArray("99") << "1.1" << 99;
    QTest::newRow("1 %: position 100 outside")
        << QByteArray("rollout='1%'") << QByteArray("100") << "1.0" << 100;
    QTest::newRow("1 %: no position, outside")
        << QByteArray("rollout='1%'") << QByteArray() << "1.0" << -1;
    QTest::newRow("50 %: position 4999 inside")
        << QByteArray("rollout='50%'") << QByteArray("4999") << "1.1" << 4999;
    QTest::newRow("50 %: position 5000 outside")
        << QByteArray("rollout='50%'") << QByteArray("5000") << "1.0" << 5000;
    QTest::newRow("12.34 %: position 1233 inside")
        << QByteArray("rollout='12.34%'") << QByteArray("1233") << "1.1" << 1233;
    QTest::newRow("12.34 %: position 1234 outside")
        << QByteArray("rollout='12.34%'") << QByteArray("1234") << "1.0" << 1234;
    QTest::newRow("100 %: the last position")
        << QByteArray("rollout='100%'") << QByteArray("9999") << "1.1" << 9999;
    QTest::newRow("100 %: complete, offered without a position too")
        << QByteArray("rollout='100%'") << QByteArray() << "1.1" << -1;
    QTest::newRow("schedule at its start: nobody") << scheduled(0) << QByteArray("0") << "1.0" << 0;
    QTest::newRow("schedule before its start: nobody")
        << scheduled(3600) << QByteArray("0") << "1.0" << 0;
    QTest::newRow("schedule in its middle: position 4990 inside")
        << scheduled(-302400) << QByteArray("4990") << "1.1" << 4990;
    QTest::newRow("schedule in its middle: position 5010 outside")
        << scheduled(-302400) << QByteArray("5010") << "1.0" << 5010;
    QTest::newRow("schedule at its end: complete, offered without a position")
        << scheduled(-7 * 86400) << QByteArray() << "1.1" << -1;
    // A position not as the updater writes it is none: outside, and not in the statement.
    for (const char *malformed : {"01", "10000", "-1", " 5", "5 ", "", "1e3", "x"})
        QTest::newRow(qPrintable(QStringLiteral("malformed position \"%1\"").arg(malformed)))
            << QByteArray("rollout='99.99%'") << QByteArray(malformed) << "1.0" << -1;
    QTest::newRow("99.99 %: position 0 inside")
        << QByteArray("rollout='99.99%'") << QByteArray("0") << "1.1" << 0;
}

// An installation inside the share gets the staged version, any other the newest one not under
// rollout; the position it sent is in the statement the reply key signs.
void TestUpdateServer::rolloutOffers()
{
    QFETCH(QByteArray, rollout);
    QFETCH(QByteArray, position);
    QFETCH(QString, offered);
    QFETCH(int, signedPosition);
    const QByteArray seed(32, 'k');
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("catalogue.xml"), stagedCatalogue(rollout)));
    QVERIFY(writeFile(dir.filePath("reply.key"), keyFileText(seed, "reply"), 0600));
    ServerProcess server(
        {"--catalogue", dir.filePath("catalogue.xml"), "--reply-key", dir.filePath("reply.key")});
    QVERIFY2(server.waitForListening(), server.log().constData());

    const QByteArray nonce = ReplySignature::newNonce();
    const QByteArray reply = exchange(443, positionedQuery(nonce, position));
    QCOMPARE(offeredVersion(reply), offered);
    // The patch of the entry offered.
    QVERIFY(reply.contains("core-0.9-" + offered.toUtf8() + ".zip"));
    const QString key = QString::fromLatin1(Ed25519::publicKey(seed).toBase64());
    const QByteArray queried = query({{"vorn", "core", "app", "0.9"}});
    const std::optional<int> sent
        = signedPosition < 0 ? std::nullopt : std::optional<int>(signedPosition);
    const QString otherExchange = ReplySignature::notForThisExchange().text();
    QCOMPARE(ReplySignature::verify(reply, {key}, nonce, queried, sent).text(), QString());
    const std::optional<int> other = sent ? std::nullopt : std::optional<int>(0);
    QCOMPARE(ReplySignature::verify(reply, {key}, nonce, queried, other).text(), otherExchange);
    if (sent) {
        QCOMPARE(ReplySignature::verify(reply, {key}, nonce, queried, (*sent + 1) % 10000).text(),
                 otherExchange);
    }
}

void TestUpdateServer::rolloutShare_data()
{
    QTest::addColumn<QByteArray>("rollout");
    QTest::addColumn<double>("share");
    QTest::newRow("1 %") << QByteArray("rollout='1%'") << 0.01;
    QTest::newRow("20 %") << QByteArray("rollout='20%'") << 0.2;
    QTest::newRow("50 %") << QByteArray("rollout='50%'") << 0.5;
    QTest::newRow("a schedule in its first third")
        << QStringLiteral("rollout-start='%1' rollout-duration='3d'").arg(utcIn(-86400)).toUtf8()
        << 1.0 / 3;
}

// Over 10,000 exchanges from random positions, several at once, the staged version reaches its
// share of them, each exchange following the rule.
void TestUpdateServer::rolloutShare()
{
    QFETCH(QByteArray, rollout);
    QFETCH(double, share);
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("catalogue.xml"), stagedCatalogue(rollout)));
    ServerProcess server({"--catalogue", dir.filePath("catalogue.xml")});
    QVERIFY2(server.waitForListening(), server.log().constData());
    QRandomGenerator random(45);
    QList<int> positions;
    for (int at = 0; at < 10000; ++at)
        positions.append(int(random.bounded(10000)));
    const QStringList offered = offeredAt(positions, 8);
    const int threshold = int(std::ceil(share * 10000 - 1e-6));
    for (qsizetype at = 0; at < positions.size(); ++at) {
        // A schedule's share moves on by a position every few seconds.
        if (qAbs(positions.at(at) - threshold) <= 1)
            continue;
        QVERIFY2(offered.at(at) == (positions.at(at) < threshold ? "1.1" : "1.0"),
                 qPrintable(QStringLiteral("%1: %2").arg(positions.at(at)).arg(offered.at(at))));
    }
    const double inside = offered.count(QStringLiteral("1.1"));
    QVERIFY2(qAbs(inside / positions.size() - share) <= 0.01, qPrintable(QString::number(inside)));
}

void TestUpdateServer::reports_data()
{
    QTest::addColumn<QByteArray>("report");
    QTest::addColumn<bool>("taken");
    // The series counted when taken: an outcome of core 1.1, or all its labels.
    QTest::addColumn<QByteArray>("outcome");

    const QByteArray valid = reportOf("installed");
    QTest::newRow("installed") << valid << true << QByteArray("installed");
    for (const char *outcome :
         {"rolled-back", "refused", "download-failed", "cancelled", "recovered"})
        QTest::newRow(outcome) << reportOf(outcome) << true << QByteArray(outcome);
    QTest::newRow("a reason class")
        << QByteArray(reportOf("rolled-back")).replace("\"none\"", "\"installation\"") << true
        << QByteArray("rolled-back");
    QTest::newRow("blanks between the elements")
        << QByteArray(valid).replace("\"><package", "\">\n  <package").replace("/></", "/>\n</")
        << true << QByteArray("installed");
    QByteArray sixteen = "<report version=\"1\">";
    const QByteArray package = valid.mid(valid.indexOf("<package"),
                                         valid.indexOf("</report>") - valid.indexOf("<package"));
    for (int at = 0; at < 16; ++at)
        sixteen += package;
    QTest::newRow("16 packages") << sixteen + "</report>" << true << QByteArray("installed");
    QTest::newRow("17 packages") << sixteen + package + "</report>" << false << QByteArray();
    QTest::newRow("beyond 4096 bytes")
        << QByteArray(valid).replace("<package", QByteArray(4096, ' ') + "<package") << false
        << QByteArray();
    QTest::newRow("an unknown outcome") << reportOf("worked") << false << QByteArray();
    QTest::newRow("an unknown reason")
        << QByteArray(valid).replace("\"none\"", "\"disk full\"") << false << QByteArray();
    QTest::newRow("a component new to the installation, without from")
        << QByteArray(valid).replace(" from=\"1.0\"", "") << true << QByteArray("installed");
    // Series named by the catalogue, whatever the report calls them.
    QTest::newRow("a version written otherwise")
        << reportOf("installed", "1.1.0") << true << QByteArray("installed");
    const QByteArray unlisted = "component=\"-\",outcome=\"installed\",version=\"-\"";
    QTest::newRow("a version the catalogue does not list")
        << reportOf("installed", "9.9") << true << unlisted;
    QTest::newRow("a component the catalogue does not list")
        << QByteArray(valid).replace("\"core\"", "\"nosuch\"") << true << unlisted;
    QTest::newRow("an empty from")
        << QByteArray(valid).replace("\"1.0\"", "\"\"") << false << QByteArray();
    QTest::newRow("a version with a suffix")
        << reportOf("installed", "1.1b") << false << QByteArray();
    QTest::newRow("a name that is a path")
        << QByteArray(valid).replace("\"core\"", "\"../core\"") << false << QByteArray();
    QTest::newRow("an attribute more")
        << QByteArray(valid).replace("/></", " host=\"pc\"/></") << false << QByteArray();
    QTest::newRow("an attribute less")
        << QByteArray(valid).replace(" delivery=\"patch\"", "") << false << QByteArray();
    QTest::newRow("other delivery")
        << QByteArray(valid).replace("\"patch\"", "\"delta\"") << false << QByteArray();
    QTest::newRow("text") << QByteArray(valid).replace("/></", ">free text</package></") << false
                          << QByteArray();
    QTest::newRow("a comment") << QByteArray(valid).replace("</report>", "<!-- x --></report>")
                               << false << QByteArray();
    QTest::newRow("an element inside the package")
        << QByteArray(valid).replace("/></", "><path/></package></") << false << QByteArray();
    QTest::newRow("another report version")
        << QByteArray(valid).replace("version=\"1\"", "version=\"2\"") << false << QByteArray();
    QTest::newRow("not well-formed") << valid.chopped(3) << false << QByteArray();
    QTest::newRow("a query after it") << valid + "<s></s>" << false << QByteArray();
}

// A report is answered <ok/> and counted, or closed without an answer and not counted.
void TestUpdateServer::reports()
{
    QFETCH(QByteArray, report);
    QFETCH(bool, taken);
    QFETCH(QByteArray, outcome);
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("catalogue.xml"), stagedCatalogue("rollout='50%'")));
    ServerProcess server(
        {"--catalogue", dir.filePath("catalogue.xml"), "--metrics", "127.0.0.1:9464"});
    QVERIFY2(server.waitForListening(), server.log().constData());

    QCOMPARE(sendReport(443, report), taken ? QByteArray("<ok/>") : QByteArray());
    const QByteArray metrics = metricsText(9464);
    const QByteArray labels = outcome.contains('=')
        ? outcome
        : "component=\"core\",outcome=\"" + outcome + "\",version=\"1.1\"";
    const double counted = metricValue(metrics, "vorn_update_server_reports_total{" + labels + '}');
    if (taken) {
        QCOMPARE(counted, report.count("<package") * 1.0);
    } else {
        QVERIFY2(!metrics.contains("vorn_update_server_reports_total{"), metrics.constData());
        QVERIFY(metrics.contains("vorn_update_server_refused_reports_total{"));
    }
    // A query still gets its answer afterwards.
    QCOMPARE(offeredVersion(exchange(443, positionedQuery(ReplySignature::newNonce(), "0"))),
             "1.1");
}

void TestUpdateServer::reportsBeyondTheRate()
{
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("catalogue.xml"), stagedCatalogue("rollout='50%'")));
    ServerProcess server({"--catalogue", dir.filePath("catalogue.xml"), "--metrics",
                          "127.0.0.1:9464", "--reports-per-minute", "3"});
    QVERIFY2(server.waitForListening(), server.log().constData());
    QByteArrayList answers;
    for (int at = 0; at < 5; ++at)
        answers << sendReport(443, reportOf("installed"));
    // Within one minute; across a minute's turn, the first of the next one is taken again.
    const QByteArrayList taken {"<ok/>", "<ok/>", "<ok/>", "", ""};
    if (answers != taken)
        QCOMPARE(answers.count("<ok/>"), 4);
    const QByteArray metrics = metricsText(9464);
    QCOMPARE(metricValue(metrics,
                         "vorn_update_server_reports_total{component=\"core\",outcome=\""
                         "installed\",version=\"1.1\"}"),
             double(answers.count("<ok/>")));
    QCOMPARE(
        metricValue(metrics, "vorn_update_server_refused_reports_total{reason=\"rate-limited\"}"),
        double(answers.count("")));
}

void TestUpdateServer::brokenReleaseHalts_data()
{
    QTest::addColumn<bool>("byCommand"); // or by a changed rollout and SIGHUP
    QTest::newRow("lifted by a changed rollout") << false;
    QTest::newRow("lifted by the command") << true;
}

// Failure reports beyond the rule halt the staged version: nobody new is offered it, also after
// a restart, until the publisher lifts the halt.
void TestUpdateServer::brokenReleaseHalts()
{
    QFETCH(bool, byCommand);
    QTemporaryDir dir;
    const QString catalogueFile = dir.filePath("catalogue.xml");
    const QByteArray rule = "rollout='50%' halt-failures='20%' halt-minimum='5'";
    QVERIFY(writeFile(catalogueFile, stagedCatalogue(rule)));
    const QStringList arguments {"--catalogue",    catalogueFile,          "--metrics",
                                 "127.0.0.1:9464", "--reports-per-minute", "0"};
    const auto offered = [] {
        return offeredVersion(exchange(443, positionedQuery(ReplySignature::newNonce(), "0")));
    };
    const QByteArray halted
        = "vorn_update_server_rollout_halted{component=\"core\",version=\"1.1\"}";
    const QByteArray share = "vorn_update_server_rollout_share{component=\"core\",version=\"1.1\"}";
    {
        ServerProcess server(arguments);
        QVERIFY2(server.waitForListening(), server.log().constData());
        QTRY_COMPARE(metricValue(metricsText(9464), share), 0.5);
        QCOMPARE(metricValue(metricsText(9464), halted), 0.0);
        // Outcomes that are nobody's fault do not count; failures of another version neither.
        for (const char *outcome : {"download-failed", "cancelled", "recovered"})
            QCOMPARE(sendReport(443, reportOf(outcome)), "<ok/>");
        QCOMPARE(sendReport(443, reportOf("rolled-back", "1.0")), "<ok/>");
        for (const char *outcome : {"installed", "rolled-back", "installed", "refused"})
            QCOMPARE(sendReport(443, reportOf(outcome)), "<ok/>");
        // 2 of 4: the minimum is not there yet.
        QCOMPARE(offered(), "1.1");
        QCOMPARE(sendReport(443, reportOf("installed")), "<ok/>");
        QVERIFY(server.waitForLog("halted vorn/core/app 1.1: 2 failures among 5 reports, more "
                                  "than 20% of at least 5\n"));
        QCOMPARE(offered(), "1.0");
        const QByteArray metrics = metricsText(9464);
        QCOMPARE(metricValue(metrics, halted), 1.0);
        QCOMPARE(metricValue(metrics, share), 0.0);
        // Counted, though the count stopped for the rule.
        QCOMPARE(sendReport(443, reportOf("rolled-back")), "<ok/>");
        QCOMPARE(server.log().count("halted vorn/core/app"), 1);
    }
    ServerProcess server(arguments);
    QVERIFY2(server.waitForListening(), server.log().constData());
    QCOMPARE(offered(), "1.0");
    QCOMPARE(metricValue(metricsText(9464), halted), 1.0);
    // A SIGHUP with the same entry leaves the halt.
    server.signal(SIGHUP);
    QVERIFY(server.waitForLog("catalogue reloaded"));
    QCOMPARE(offered(), "1.0");
    if (byCommand) {
        // Lifted as root, the halt file stays the service's own (where there is a user to hand
        // it to: a namespace of one user has none).
        const QByteArray haltFile = QFile::encodeName(catalogueFile + ".halts");
        const uint service = 65534;
        const bool handedOver
            = ::geteuid() == 0 && ::chown(haltFile.constData(), service, service) == 0;
        ServerProcess lift({"--catalogue", catalogueFile, "--lift-halt", "core", "1.1"});
        QCOMPARE(lift.waitForExitCode(), 0);
        QVERIFY2(lift.log().contains("1 halts lifted"), lift.log().constData());
        if (handedOver)
            QCOMPARE(QFileInfo(catalogueFile + ".halts").ownerId(), service);
    } else {
        QVERIFY(writeFile(catalogueFile, stagedCatalogue(QByteArray(rule).replace("50%", "60%"))));
    }
    server.signal(SIGHUP);
    QVERIFY(server.waitForLog("catalogue reloaded", 10000, 2));
    QCOMPARE(offered(), "1.1");
    QTRY_COMPARE(metricValue(metricsText(9464), halted), 0.0);
}

QTEST_GUILESS_MAIN(TestUpdateServer)
#include "tst_updateserver.moc"
