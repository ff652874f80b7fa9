#include "ed25519.h"
#include "fakeupdateserver.h"
#include "manualclock.h"
#include "messageboxanswerer.h"
#include "plannedpackage.h"
#include "replylimits.h"
#include "replysignature.h"
#include "rolloutposition.h"
#include "standinmessenger.h"
#include "testfiles.h"
#include "testinstallation.h"
#include "updatequery.h"
#include "updatereply.h"
#include "vornupdaterengine.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

const QByteArray simpleQuery = "<s><update><component name='core' version='1.0' /></update></s>";

const QString couldNotConnect
    = QStringLiteral("Couldn't connect to update server. Check your internet connection.");
const QString communicationFailed = QStringLiteral(
    "An error occured while comunicating update server. Check your internet connection.");

QByteArray fullRequest(const QByteArray &name, const QByteArray &extra = {})
{
    return "<request project='im' name='" + name
        + "' type='app'>"
          "<version>2.0</version><description>Core</description>"
          "<copyrights>(c) Vorn</copyrights><author>Team</author>"
          "<webpage>http://vorn.example</webpage><email>team@vorn.example</email>"
          "<changelog>Fixes</changelog><link>http://127.0.0.1/"
        + name
        + ".zip</link>"
          "<critical>false</critical><timestamp>1700000000</timestamp>"
        + extra + "</request>";
}

QVector<OfferedPackage> walk(const QByteArray &reply)
{
    UpdateReply parser;
    parser.append(reply);
    return parser.offers();
}

// The exchange of reply_signature_vectors.py's known answers.
struct KnownAnswerExchange
{
    QByteArray seed;
    QByteArray nonce;
    const QByteArray query
        = R"(<s><update><component project="vorn" name="core" type="app" version="1.0" /></update></s>)";
    const QByteArray reply
        = R"(<update><request project="vorn" name="core" type="app"><latest/></request></update>)";
    // The public key of the seed, in base64.
    const QString publicKey = QStringLiteral("A6EHv/POEL4dcN0Y50vAmWfk1jCbpQ1fHdyGZBJVMbg=");
    // The reply with a signature element that holds field (in base64).
    QByteArray signedReply(const QByteArray &field) const
    {
        return reply.left(reply.size() - int(qstrlen("</update>"))) + "<signature>" + field
            + "</signature></update>";
    }
    KnownAnswerExchange()
    {
        QByteArray nonceBytes;
        for (char byte = 0; byte < 32; ++byte) {
            seed += byte;
            nonceBytes += char(byte + 32);
        }
        nonce = nonceBytes.toBase64();
    }
};

} // namespace

class TestUpdateCheck : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void queryCut_data();
    void queryCut();

    void replyCompleteness_data();
    void replyCompleteness();
    void replyIsBounded();
    void hostileReply_data();
    void hostileReply();
    void replyWalk_data();
    void replyWalk();
    void replyFields();
    void replyPolishText();
    void replyCriticalAndTimestamp_data();
    void replyCriticalAndTimestamp();
    void replyLink_data();
    void replyLink();

    void exchangeSendsTheCutQuery_data();
    void exchangeSendsTheCutQuery();
    void exchangeReplyInManyPieces();
    void checkingUntilFinished();
    void exchangeDeadline_data();
    void exchangeDeadline();
    void exchangeFailures_data();
    void exchangeFailures();
    void connectedWhileTheMessengerRuns_data();
    void connectedWhileTheMessengerRuns();
    void messengerThatNeverExits();
    void failedCheckEmptiesTheList();
    void onlySignedRepliesCount_data();
    void onlySignedRepliesCount();
    void rolloutPosition_data();
    void rolloutPosition();
    void signedReplyFormat_data();
    void signedReplyFormat();
    void signedPositionFormat_data();
    void signedPositionFormat();

private:
    void writeMessenger(const QByteArray &script);

    QTemporaryDir temp;
};

void TestUpdateCheck::initTestCase()
{
    QVERIFY(temp.isValid());
    // The engine creates its download directory under the temporary location.
    qputenv("TMPDIR", temp.path().toLocal8Bit());
}

void TestUpdateCheck::cleanup()
{
    QFile::remove(StandInMessenger::path());
}

void TestUpdateCheck::writeMessenger(const QByteArray &script)
{
    QVERIFY(StandInMessenger::write(script));
}

void TestUpdateCheck::queryCut_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QByteArray>("query");
    QTest::newRow("junk around") << QByteArray("Loading plugins...\n<s><u/></s>\nbye\n")
                                 << QByteArray("<s><u/></s>");
    QTest::newRow("two documents")
        << QByteArray("<s>one</s> noise <s>two</s>!") << QByteArray("<s>one</s> noise <s>two</s>");
    QTest::newRow("closing tag only") << QByteArray("x</s>y") << QByteArray();
    QTest::newRow("opening tag only") << QByteArray("x<s>y") << QByteArray();
    QTest::newRow("closing tag before opening") << QByteArray("</s> <s>") << QByteArray();
    QTest::newRow("overlapping tags") << QByteArray("<s>/s>") << QByteArray();
    QTest::newRow("empty document") << QByteArray("<s></s>") << QByteArray("<s></s>");
    QTest::newRow("nothing printed") << QByteArray() << QByteArray();
    QTest::newRow("NUL ends the query early")
        << QByteArray("<s>ab\0cd</s>", 12) << QByteArray("<s>ab");
    QTest::newRow("Latin-1 bytes sent as UTF-8")
        << QByteArray("<s>caf\xe9</s>") << QByteArray("<s>caf\xc3\xa9</s>");
}

void TestUpdateCheck::queryCut()
{
    QFETCH(QByteArray, output);
    QFETCH(QByteArray, query);
    QCOMPARE(cutUpdateQuery(output), query);
}

void TestUpdateCheck::replyCompleteness_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<int>("completeAfter"); // index of the piece, -1 for never
    QTest::newRow("one piece") << QList<QByteArray> {"<update/>"} << 0;
    QTest::newRow("split before closing root tag")
        << QList<QByteArray> {"<update><request/>", "</update>"} << 1;
    QTest::newRow("split inside a tag name")
        << QList<QByteArray> {"<upd", "ate><x/></upd", "ate>"} << 2;
    QTest::newRow("declaration first")
        << QList<QByteArray> {"<?xml version='1.0' encoding='UTF-8'?>", "<a/>"} << 1;
    QTest::newRow("empty pieces") << QList<QByteArray> {"", "", "<a></a>"} << 2;
    QTest::newRow("undeclared namespace prefix")
        << QList<QByteArray> {"<u><request pr:oject='vorn'/>", "<a:b/></u>"} << 1;
    QTest::newRow("junk after root in the same piece")
        << QList<QByteArray> {"<a/>junk", "</b>"} << -1;
    QTest::newRow("malformed never completes")
        << QList<QByteArray> {"<a><b></a>", "</b></a>"} << -1;
}

void TestUpdateCheck::replyCompleteness()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(int, completeAfter);
    UpdateReply reply;
    for (int i = 0; i < pieces.size(); ++i) {
        QVERIFY(!reply.append(pieces.at(i)));
        QCOMPARE(reply.isComplete(), completeAfter >= 0 && i >= completeAfter);
    }
}

void TestUpdateCheck::replyIsBounded()
{
    UpdateReply reply;
    Failure refused = reply.append("<update>");
    const QByteArray filler = QByteArray("<pad/>").repeated(1 << 16);
    qsizetype sent = 8;
    while (!refused && !reply.isComplete() && sent < 2 * ReplyLimits::maximumSize) {
        refused = reply.append(filler);
        sent += filler.size();
    }
    QCOMPARE(refused.kind(), Failure::Reply);
    QCOMPARE(refused.text(), communicationFailed);
    QVERIFY(!reply.isComplete());
    QVERIFY(sent > ReplyLimits::maximumSize);
    QVERIFY(reply.offers().isEmpty());
}

void TestUpdateCheck::hostileReply_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("refused"); // else complete
    const bool refused = true;
    const bool complete = false;
    const auto request = [](const QByteArray &field, qsizetype size) {
        return "<update><request project='vorn' name='core' type='app'><" + field + ">"
            + QByteArray(size, 'x') + "</" + field + "></request></update>";
    };

    QTest::newRow("entity expanded 100,000 times") << "<!DOCTYPE update [<!ENTITY e '"
            + QByteArray(4000, 'x') + "'>]><update>" + QByteArray("&e;").repeated(100000)
            + "</update>" << refused;
    QTest::newRow("document type alone") << QByteArray("<!DOCTYPE update><update/>") << refused;
    QTest::newRow("nested 10,000 deep")
        << QByteArray("<a>").repeated(10000) + QByteArray("</a>").repeated(10000) << refused;
    QTest::newRow("nested 32 deep")
        << QByteArray("<a>").repeated(32) + QByteArray("</a>").repeated(32) << complete;
    QTest::newRow("20,000 requests")
        << "<update>" + QByteArray("<request/>").repeated(20000) + "</update>" << refused;
    QTest::newRow("10,000 requests")
        << "<update>" + QByteArray("<request/>").repeated(10000) + "</update>" << complete;
    QTest::newRow("changelog of 64 KiB") << request("changelog", 64 * 1024) << complete;
    QTest::newRow("changelog beyond 64 KiB") << request("changelog", 64 * 1024 + 1) << refused;
    QTest::newRow("description of 4 KiB") << request("description", 4096) << complete;
    QTest::newRow("description beyond 4 KiB") << request("description", 4097) << refused;
    QTest::newRow("link beyond 4 KiB in a child element")
        << request("link", 0).replace("<link>", "<link><b>" + QByteArray(4097, 'x') + "</b>")
        << refused;
    QTest::newRow("long text outside any request")
        << "<update>" + QByteArray(100000, 'x') + "</update>" << complete;
}

// Refused in the incremental pass, before any document is built: what the DOM would make of it
// costs far more than its bytes.
void TestUpdateCheck::hostileReply()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, refused);
    UpdateReply parsed;
    const Failure failure = parsed.append(reply);
    QCOMPARE(failure.isFailure(), refused);
    QCOMPARE(parsed.isComplete(), !refused);
    if (refused) {
        QCOMPARE(failure.kind(), Failure::Reply);
        QCOMPARE(failure.text(), communicationFailed);
        QVERIFY(parsed.offers().isEmpty());
    }
}

void TestUpdateCheck::replyWalk_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QStringList>("names");
    QTest::newRow("one update") << "<update>" + fullRequest("core") + "</update>"
                                << QStringList {"core"};
    QTest::newRow("document order at any depth") << "<r>" + fullRequest("a") + "<g><h>"
            + fullRequest("b") + "</h></g>" + fullRequest("c")
            + "</r>" << QStringList {"a", "b", "c"};
    QTest::newRow("latest skipped")
        << "<u>" + fullRequest("a", "<latest/>") + fullRequest("b") + "</u>" << QStringList {"b"};
    QTest::newRow("noSuchUpdate skipped")
        << "<u>" + fullRequest("a", "<noSuchUpdate>x</noSuchUpdate>") + "</u>" << QStringList {};
    QTest::newRow("noSuchComponent skipped")
        << QByteArray("<u><request name='x'><noSuchComponent/></request></u>") << QStringList {};
    QTest::newRow("marker deeper down does not count")
        << "<u>" + fullRequest("a", "<extra><latest/></extra>") + "</u>" << QStringList {"a"};
    QTest::newRow("marker names are case-sensitive")
        << "<u>" + fullRequest("a", "<Latest/>") + "</u>" << QStringList {"a"};
    QTest::newRow("duplicates kept")
        << "<u>" + fullRequest("a") + fullRequest("a") + "</u>" << QStringList {"a", "a"};
    QTest::newRow("no requests") << QByteArray("<update><other/></update>") << QStringList {};
    QTest::newRow("prefixed name is another name")
        << QByteArray("<u xmlns:x='urn:x'><x:request name='a'/></u>") << QStringList {};
}

void TestUpdateCheck::replyWalk()
{
    QFETCH(QByteArray, reply);
    QFETCH(QStringList, names);
    QStringList found;
    for (const OfferedPackage &offer : walk(reply))
        found << offer.name;
    QCOMPARE(found, names);
}

void TestUpdateCheck::replyFields()
{
    const auto updates = walk("<u>" + fullRequest("core")
                              + "<request><version>3</version><version>4</version>"
                                "<changelog>a<b>b</b><![CDATA[<c>]]></changelog></request></u>");
    QCOMPARE(updates.size(), 2);
    const Update full = updates[0].toUpdate();
    QCOMPARE(full.getProject(), std::string("im"));
    QCOMPARE(full.getName(), std::string("core"));
    QCOMPARE(full.getType(), std::string("app"));
    QCOMPARE(full.getVersion(), std::string("2.0"));
    QCOMPARE(full.getDescription(), std::string("Core"));
    QCOMPARE(full.getCopyrights(), std::string("(c) Vorn"));
    QCOMPARE(full.getAuthor(), std::string("Team"));
    QCOMPARE(full.getWebpage(), std::string("http://vorn.example"));
    QCOMPARE(full.getEmail(), std::string("team@vorn.example"));
    QCOMPARE(full.getChangelog(), std::string("Fixes"));
    QCOMPARE(full.getLink(), std::string("http://127.0.0.1/core.zip"));
    QCOMPARE(full.isCritical(), false);
    QCOMPARE(full.getTimestamp(), 1700000000u);

    // Missing attributes and children are empty; the first child of a name wins; nested
    // text and character data are part of the text.
    const Update sparse = updates[1].toUpdate();
    QVERIFY(sparse.getProject().empty() && sparse.getName().empty() && sparse.getType().empty());
    QCOMPARE(sparse.getVersion(), std::string("3"));
    QCOMPARE(sparse.getChangelog(), std::string("ab<c>"));
    QVERIFY(sparse.getLink().empty());
    QCOMPARE(sparse.isCritical(), false);
    QCOMPARE(sparse.getTimestamp(), 0u);
}

void TestUpdateCheck::replyPolishText()
{
    const QString changelog = QStringLiteral("Poprawiono błędy w oknie rozmowy; źdźbło żółwia");
    const auto updates = walk("<?xml version='1.0' encoding='UTF-8'?><u><request name='core'>"
                              "<changelog>"
                              + changelog.toUtf8() + "</changelog></request></u>");
    QCOMPARE(updates.size(), 1);
    QCOMPARE(QByteArray::fromStdString(updates[0].toUpdate().getChangelog()), changelog.toUtf8());

    const auto latin = walk("<?xml version='1.0' encoding='ISO-8859-2'?><u><request>"
                            "<description>\xb3\xf3\xbf</description></request></u>");
    QCOMPARE(latin.size(), 1);
    QCOMPARE(QString::fromUtf8(QByteArray::fromStdString(latin[0].toUpdate().getDescription())),
             QStringLiteral("łóż"));
}

void TestUpdateCheck::replyCriticalAndTimestamp_data()
{
    QTest::addColumn<QByteArray>("critical");
    QTest::addColumn<QByteArray>("timestamp");
    QTest::addColumn<bool>("isCritical");
    QTest::addColumn<uint>("value");
    QTest::newRow("true") << QByteArray("true") << QByteArray("42") << true << 42u;
    QTest::newRow("True") << QByteArray("True") << QByteArray("abc") << false << 0u;
    QTest::newRow("TRUE") << QByteArray("TRUE") << QByteArray("4294967296") << false << 0u;
    QTest::newRow("one") << QByteArray("1") << QByteArray("4294967295") << false << 4294967295u;
    QTest::newRow("blank before") << QByteArray(" true") << QByteArray("-1") << false << 0u;
    QTest::newRow("hex is not decimal") << QByteArray("false") << QByteArray("0x10") << false << 0u;
}

void TestUpdateCheck::replyCriticalAndTimestamp()
{
    QFETCH(QByteArray, critical);
    QFETCH(QByteArray, timestamp);
    QFETCH(bool, isCritical);
    QFETCH(uint, value);
    const auto updates = walk("<u><request><critical>" + critical + "</critical><timestamp>"
                              + timestamp + "</timestamp></request></u>");
    QCOMPARE(updates.size(), 1);
    QCOMPARE(updates[0].toUpdate().isCritical(), isCritical);
    QCOMPARE(updates[0].toUpdate().getTimestamp(), value);
}

void TestUpdateCheck::replyLink_data()
{
    QTest::addColumn<QByteArray>("link"); // as the reply's bytes
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("path"); // where the package is kept and what is asked for
    QTest::newRow("plain") << QByteArray("http://127.0.0.1/core.zip") << "127.0.0.1"
                           << "/core.zip";
    QTest::newRow("escaped blank")
        << QByteArray("http://Vorn.Example/a%20b/core.zip") << "vorn.example"
        << "/a b/core.zip";
    // The characters the reply means, never its bytes taken one by one.
    QTest::newRow("Polish letters") << QByteArray("http://127.0.0.1/\xc5\xbc\xc3\xb3\xc5\x82w.zip")
                                    << "127.0.0.1" << QStringLiteral("/\u017c\u00f3\u0142w.zip");
    QTest::newRow("none") << QByteArray() << ""
                          << "";
}

// The link is read once: the client's record keeps its text, the plan its address.
void TestUpdateCheck::replyLink()
{
    QFETCH(QByteArray, link);
    QFETCH(QString, host);
    QFETCH(QString, path);
    const QVector<OfferedPackage> offers
        = walk("<?xml version='1.0' encoding='UTF-8'?><u><request name='core'><link>" + link
               + "</link></request></u>");
    QCOMPARE(offers.size(), 1);
    QCOMPARE(offers[0].toUpdate().getLink(), link.toStdString());
    const PlannedPackage planned(offers[0]);
    QCOMPARE(planned.url.host(), host);
    QCOMPARE(planned.archivePath, path);
}

void TestUpdateCheck::exchangeSendsTheCutQuery_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QByteArray>("sent");
    QTest::newRow("query between noise")
        << QByteArray("echo 'starting'; printf '%s\\n' \"" + simpleQuery + "\"; echo done >&2")
        << simpleQuery;
    QTest::newRow("query on standard error")
        << QByteArray("printf '%s' \"" + simpleQuery + "\" >&2") << simpleQuery;
    QTest::newRow("argument is -updatequery")
        << QByteArray("[ \"$*\" = -updatequery ] && printf '<s>ok</s>'") << QByteArray("<s>ok</s>");
    QTest::newRow("no query printed") << QByteArray("echo nothing here") << QByteArray();
    QTest::newRow("non-ASCII byte re-encoded")
        << QByteArray("printf '<s>\\351</s>'") << QByteArray("<s>\xc3\xa9</s>");
}

void TestUpdateCheck::exchangeSendsTheCutQuery()
{
    QFETCH(QByteArray, script);
    QFETCH(QByteArray, sent);
    writeMessenger(script);
    FakeUpdateServer server;
    server.setReply({"<update>" + fullRequest("core") + "</update>"});
    QVERIFY(server.listen());
    {
        VornUpdaterEngine engine(testInstallation(), testSettings(), testPrompter());
        MessageBoxAnswerer boxes;
        QVERIFY(!engine.checkUpdates().isFailure());
        QCOMPARE(boxes.count(), 0);
        QVERIFY(engine.updatesAvailable());
        QCOMPARE(engine.getUpdates().size(), 1);
    }
    QCOMPARE(FakeUpdateServer::queryOf(server.receivedOnceClosed()), sent);
}

void TestUpdateCheck::exchangeReplyInManyPieces()
{
    writeMessenger("printf '%s' \"" + simpleQuery + "\"");
    QByteArray reply = "<?xml version='1.0'?><update>";
    for (int i = 0; i < 20; ++i)
        reply += fullRequest("c" + QByteArray::number(i));
    reply += "</update>";
    QList<QByteArray> pieces;
    for (qsizetype at = 0; at < reply.size(); at += 97)
        pieces << reply.mid(at, 97);

    FakeUpdateServer server;
    server.setReply(pieces, 2);
    QVERIFY(server.listen());
    VornUpdaterEngine engine(testInstallation(), testSettings(), testPrompter());
    QVERIFY(!engine.checkUpdates().isFailure());
    const QVector<Update> updates = engine.getUpdates();
    QCOMPARE(updates.size(), 20);
    QCOMPARE(updates.first().getName(), std::string("c0"));
    QCOMPARE(updates.last().getName(), std::string("c19"));
}

// Under way from its start while the messenger has not answered, and no more once finished.
void TestUpdateCheck::checkingUntilFinished()
{
    const QString go = temp.filePath(QStringLiteral("go"));
    writeMessenger("while [ ! -e '" + go.toLocal8Bit() + "' ]; do sleep 0.01; done; printf '%s' \""
                   + simpleQuery + "\"");
    FakeUpdateServer server;
    server.setReply({"<update>" + fullRequest("core") + "</update>"});
    QVERIFY(server.listen());
    VornUpdaterEngine engine(testInstallation(), testSettings(), testPrompter());
    QVERIFY(!engine.isChecking());
    engine.startCheck();
    QVERIFY(engine.isChecking());
    QFile answer(go);
    QVERIFY(answer.open(QIODevice::WriteOnly));
    answer.close();
    QVERIFY(!engine.checkUpdates().isFailure());
    QVERIFY(!engine.isChecking());
    QVERIFY(engine.updatesAvailable());
}

void TestUpdateCheck::exchangeDeadline_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<int>("gapMs");
    QTest::addColumn<int>("deadlineMs");
    QTest::addColumn<int>("updates"); // -1: the check fails
    // Only the whole document parses: a check that stopped at the first piece would fail.
    const QList<QByteArray> tagLast {"<update>" + fullRequest("core"), "</update>"};
    QTest::newRow("closing tag just before the deadline") << tagLast << 999 << 1000 << 1;
    QTest::newRow("closing tag at the deadline") << tagLast << 1000 << 1000 << -1;
    // Each byte comes well within the wait for the next, the whole reply not always within the
    // deadline of the exchange.
    QList<QByteArray> dripped;
    for (const char byte : QByteArray("<update><latest/></update>"))
        dripped.append(QByteArray(1, byte));
    QTest::newRow("reply dripped, last byte just before the deadline")
        << dripped << 100 << 2501 << 0;
    QTest::newRow("reply dripped, last byte at the deadline") << dripped << 100 << 2500 << -1;
    QTest::newRow("reply dripped past the deadline") << dripped << 100 << 1000 << -1;
}

void TestUpdateCheck::exchangeDeadline()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(int, gapMs);
    QFETCH(int, deadlineMs);
    QFETCH(int, updates);
    writeMessenger("printf '%s' \"" + simpleQuery + "\"");
    const auto clock = std::make_shared<ManualClock>();
    FakeUpdateServer server;
    server.setReply(pieces, gapMs);
    server.setClock(clock.get());
    QVERIFY(server.listen());

    RunSettings settings = testSettings();
    settings.exchangeDeadlineMs = deadlineMs;
    settings.clock = clock;
    VornUpdaterEngine engine(testInstallation(), settings, testPrompter());
    MessageBoxAnswerer boxes;
    const Failure failure = engine.checkUpdates();
    QCOMPARE(boxes.count(), 0);
    if (updates >= 0) {
        QVERIFY2(!failure, qPrintable(failure.text()));
        QCOMPARE(engine.getUpdates().size(), updates);
        return;
    }
    QCOMPARE(failure.kind(), Failure::Network);
    QCOMPARE(failure.text(), communicationFailed);
    QVERIFY(!engine.updatesAvailable());
}

void TestUpdateCheck::exchangeFailures_data()
{
    QTest::addColumn<bool>("serverUp");
    QTest::addColumn<int>("behaviour");
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("kind");
    const int network = Failure::Network;
    QTest::newRow("connection refused")
        << false << 0 << QList<QByteArray> {} << couldNotConnect << network;
    QTest::newRow("server silent") << true << int(FakeUpdateServer::Silent) << QList<QByteArray> {}
                                   << communicationFailed << network;
    QTest::newRow("closed before the reply is complete")
        << true << int(FakeUpdateServer::AnswerAndClose) << QList<QByteArray> {"<update><request>"}
        << communicationFailed << network;
    QTest::newRow("reply that never becomes well-formed")
        << true << int(FakeUpdateServer::Answer) << QList<QByteArray> {"<a></b>"}
        << communicationFailed << network;
    // Too large or past the deadline, whichever this machine meets first.
    QTest::newRow("endless reply") << true << int(FakeUpdateServer::Endless) << QList<QByteArray> {}
                                   << communicationFailed << -1;
    QTest::newRow("reply with a document type")
        << true << int(FakeUpdateServer::Answer)
        << QList<QByteArray> {"<!DOCTYPE update [<!ENTITY e 'x'>]><update>&e;</update>"}
        << communicationFailed << int(Failure::Reply);
}

void TestUpdateCheck::exchangeFailures()
{
    QFETCH(bool, serverUp);
    QFETCH(int, behaviour);
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(QString, message);
    QFETCH(int, kind);
    writeMessenger("printf '%s' \"" + simpleQuery + "\"");
    FakeUpdateServer server;
    server.setBehaviour(FakeUpdateServer::Behaviour(behaviour));
    server.setReply(pieces);
    if (serverUp)
        QVERIFY(server.listen());

    RunSettings settings = testSettings();
    settings.serverTimeoutMs = 1500;
    settings.exchangeDeadlineMs = 1000;
    VornUpdaterEngine engine(testInstallation(), settings, testPrompter());
    MessageBoxAnswerer boxes;
    const Failure failure = engine.checkUpdates();
    QVERIFY(failure.isFailure());
    if (kind >= 0)
        QCOMPARE(int(failure.kind()), kind);
    QCOMPARE(failure.text(), message);
    QVERIFY(!engine.updatesAvailable());
    // The start-up shows it; the engine shows nothing.
    QCOMPARE(boxes.count(), 0);
}

void TestUpdateCheck::connectedWhileTheMessengerRuns_data()
{
    QTest::addColumn<int>("behaviour");
    // The messenger answers only once the updater is connected to the server, or after 5 s.
    QTest::newRow("kept until the query") << int(FakeUpdateServer::Answer);
    QTest::newRow("closed by the server while the messenger runs: made again")
        << int(FakeUpdateServer::DropFirst);
}

void TestUpdateCheck::connectedWhileTheMessengerRuns()
{
    QFETCH(int, behaviour);
    FakeUpdateServer server;
    server.setBehaviour(FakeUpdateServer::Behaviour(behaviour));
    server.setReply({"<update>" + fullRequest("core") + "</update>"});
    QVERIFY(server.listen());
    // Prints its query once a connection to the server has been seen, open or closed by the
    // server, or never: then the check offers nothing.
    writeMessenger("for i in $(seq 50); do\n"
                   "  [ -n \"$(ss -Htn state established state close-wait '( dport = :443 )')\" ] "
                   "&& seen=1 && break\n"
                   "  sleep 0.1\n"
                   "done\n"
                   "sleep 0.2\n"
                   "[ -n \"$seen\" ] && printf '%s' \""
                   + simpleQuery + "\"");
    {
        VornUpdaterEngine engine(testInstallation(), testSettings(), testPrompter());
        QVERIFY(!engine.checkUpdates().isFailure());
        QCOMPARE(engine.getUpdates().size(), 1);
    }
    QCOMPARE(FakeUpdateServer::queryOf(server.receivedOnceClosed()), simpleQuery);
}

void TestUpdateCheck::messengerThatNeverExits()
{
    QTemporaryDir dir;
    const QByteArray pidFile = QFile::encodeName(dir.filePath("messenger.pid"));
    writeMessenger("printf '%s' \"" + simpleQuery + "\"; echo $$ >'" + pidFile
                   + "'; exec sleep 60");
    FakeUpdateServer server;
    server.setReply({"<update>" + fullRequest("core") + "</update>"});
    QVERIFY(server.listen());
    {
        RunSettings settings = testSettings();
        settings.messengerTimeoutMs = 500;
        VornUpdaterEngine engine(testInstallation(), settings, testPrompter());
        QVERIFY(!engine.checkUpdates().isFailure());
        QCOMPARE(engine.getUpdates().size(), 1);
    }
    // Killed and waited for, not left behind.
    const pid_t messenger = pid_t(readFile(QFile::decodeName(pidFile)).trimmed().toInt());
    QVERIFY(messenger > 0);
    QCOMPARE(::kill(messenger, 0), -1);
    QCOMPARE(FakeUpdateServer::queryOf(server.receivedOnceClosed()), simpleQuery);
}

void TestUpdateCheck::failedCheckEmptiesTheList()
{
    writeMessenger("printf '%s' \"" + simpleQuery + "\"");
    RunSettings settings = testSettings();
    settings.serverTimeoutMs = 1000;
    VornUpdaterEngine engine(testInstallation(), settings, testPrompter());
    {
        FakeUpdateServer server;
        server.setReply({"<update>" + fullRequest("a") + fullRequest("b") + "</update>"});
        QVERIFY(server.listen());
        QVERIFY(!engine.checkUpdates().isFailure());
        QCOMPARE(engine.getUpdates().size(), 2);
    }
    MessageBoxAnswerer boxes;
    // Nothing listens any more: the second check fails and must not keep the first's updates.
    QCOMPARE(engine.checkUpdates().text(), couldNotConnect);
    QVERIFY(!engine.updatesAvailable());
    QVERIFY(engine.getUpdates().isEmpty());
}

void TestUpdateCheck::onlySignedRepliesCount_data()
{
    QTest::addColumn<QString>("spoil");
    QTest::addColumn<bool>("secondKey"); // signed with the second of the updater's two keys
    QTest::addColumn<bool>("accepted");
    QTest::newRow("signed for this exchange") << "" << false << true;
    QTest::newRow("signed with the second key, while the key changes") << "" << true << true;
    QTest::newRow("unsigned") << "unsigned" << false << false;
    QTest::newRow("signed with another key") << "other key" << false << false;
    // "before|after": the reply is changed so after signing.
    QTest::newRow("a version altered") << "2.0|3.0" << false << false;
    QTest::newRow("a link altered") << "127.0.0.1/core|127.0.0.1/evil" << false << false;
    QTest::newRow("an offer turned into latest")
        << "<version>2.0</version>|<latest/><version>2.0</version>" << false << false;
    QTest::newRow("recorded from an earlier exchange") << "other nonce" << false << false;
    QTest::newRow("signed for another query") << "other query" << false << false;
    // Nobody on the path moves an installation into or out of a rollout.
    QTest::newRow("signed without the rollout position") << "no position" << false << false;
    QTest::newRow("signed for another rollout position") << "other position" << false << false;
    QTest::newRow("signature cut off") << "cut" << false << false;
    // Signed with other exchanges' statements, under one signature of the tree's root.
    QTest::newRow("signed in a batch") << "batch" << false << true;
    QTest::newRow("a batch's way to its root altered") << "batch|path" << false << false;
    QTest::newRow("a batch's place altered") << "batch|place" << false << false;
}

// A server on the path answers for the real one: only what the reply key signed for this very
// query and nonce decides anything, and anything else is a failed check with nothing offered.
void TestUpdateCheck::onlySignedRepliesCount()
{
    QFETCH(QString, spoil);
    QFETCH(bool, secondKey);
    QFETCH(bool, accepted);
    writeMessenger("printf '%s' \"" + simpleQuery + "\"");
    const QByteArray own = QByteArray(32, 'o');
    const QByteArray stranger = QByteArray(32, 's');
    FakeUpdateServer server;
    server.setReply({"<update>" + fullRequest("core") + "</update>"});
    server.setSigner([&](QByteArray reply, const QByteArray &nonce, const QByteArray &query,
                         std::optional<int> position) {
        if (spoil == u"unsigned")
            return reply;
        if (spoil.startsWith(u"batch")) {
            const QByteArray statement = ReplySignature::statement(nonce, query, reply, position);
            QByteArray field
                = ReplySignature::signBatch({"a", "b", statement}, [&](const QByteArray &text) {
                      return Ed25519::sign(own, reinterpret_cast<const uchar *>(text.constData()),
                                           text.size());
                  }).value(2);
            // After the signature, the leaf's place, then the digests on the way to the root.
            if (spoil != u"batch")
                field[spoil.endsWith(u"path") ? 64 + 1 + 40 : 64] ^= 1;
            return ReplySignature::withSignature(reply, field);
        }
        const QByteArray seed = spoil == u"other key" ? stranger : own;
        const std::optional<int> signedPosition = spoil == u"no position" ? std::nullopt
            : spoil == u"other position"
            ? std::optional<int>((position.value_or(0) + 1) % ReplySignature::positions)
            : position;
        QByteArray signedReply = ReplySignature::sign(
            reply, seed, spoil == u"other nonce" ? ReplySignature::newNonce() : nonce,
            spoil == u"other query" ? QByteArray("<s></s>") : query, signedPosition);
        const QStringList change = spoil.split(QLatin1Char('|'));
        if (change.size() == 2)
            signedReply.replace(change.at(0).toLatin1(), change.at(1).toLatin1());
        if (spoil == u"cut")
            signedReply.remove(signedReply.indexOf("<signature>"), 111);
        return signedReply;
    });
    QVERIFY(server.listen());

    const QString ownKey = QString::fromLatin1(Ed25519::publicKey(own).toBase64());
    const QString otherKey
        = QString::fromLatin1(Ed25519::publicKey(QByteArray(32, 'x')).toBase64());
    RunSettings settings = testSettings();
    settings.replyKeys = secondKey ? QStringList {otherKey, ownKey} : QStringList {ownKey};
    VornUpdaterEngine engine(testInstallation(), settings, testPrompter());
    MessageBoxAnswerer boxes;
    if (!accepted)
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("^The update server's reply is refused: "));
    const Failure failure = engine.checkUpdates();
    QCOMPARE(!failure.isFailure(), accepted);
    QCOMPARE(engine.getUpdates().size(), accepted ? 1 : 0);
    if (!accepted) {
        QCOMPARE(failure.kind(), Failure::Reply);
        QCOMPARE(failure.text(), communicationFailed);
    }
}

void TestUpdateCheck::rolloutPosition_data()
{
    QTest::addColumn<QByteArray>("kept"); // in the position file before the run; "-": none
    QTest::addColumn<QString>("plant"); // "link": the file is a link to a file holding kept;
                                        // "open" or "link" to the directory: it is refused
    QTest::addColumn<int>("sent"); // -1: a fresh draw, -2: none sent
    QTest::newRow("none kept yet") << QByteArray("-") << "" << -1;
    QTest::newRow("kept") << QByteArray("1234\n") << "" << 1234;
    QTest::newRow("the first") << QByteArray("0\n") << "" << 0;
    QTest::newRow("the last") << QByteArray("9999\n") << "" << 9999;
    QTest::newRow("out of range") << QByteArray("10000\n") << "" << -1;
    QTest::newRow("leading zero") << QByteArray("0123\n") << "" << -1;
    QTest::newRow("not a number") << QByteArray("12a\n") << "" << -1;
    QTest::newRow("no line feed") << QByteArray("12") << "" << -1;
    QTest::newRow("empty") << QByteArray("") << "" << -1;
    QTest::newRow("a planted link to a position") << QByteArray("77\n") << "link" << -1;
    QTest::newRow("state directory open to others") << QByteArray("1234\n") << "open" << -2;
    QTest::newRow("state directory is a link") << QByteArray("1234\n") << "directory link" << -2;
}

// The position is drawn once and kept, goes in front of the query after the nonce, and the reply
// is signed for it; a file that cannot be trusted is never read.
void TestUpdateCheck::rolloutPosition()
{
    QFETCH(QByteArray, kept);
    QFETCH(QString, plant);
    QFETCH(int, sent);
    writeMessenger("printf '%s' \"" + simpleQuery + "\"");
    QTemporaryDir home;
    const QString real = home.filePath(QStringLiteral("real"));
    const QString state = home.filePath(QStringLiteral("state"));
    const QString file = state + QStringLiteral("/rollout-position");
    QVERIFY(QDir().mkpath(plant == u"directory link" ? real : state));
    if (plant == u"directory link")
        QVERIFY(QFile::link(real, state));
    QVERIFY(QFile::setPermissions(state,
                                  plant == u"open" ? QFileDevice::Permissions(0x7777)
                                                   : QFileDevice::Permissions(0x7700)));
    const QString target = plant == u"link" ? home.filePath(QStringLiteral("elsewhere")) : file;
    if (kept != "-")
        QVERIFY(writeFile(target, kept, 0600));
    if (plant == u"link")
        QVERIFY(QFile::link(target, file));

    RunSettings settings = testSettings();
    settings.stateDirectory = state;
    const auto positionSent = [&settings] {
        FakeUpdateServer server;
        server.setReply({"<update>" + fullRequest("core") + "</update>"});
        if (!server.listen())
            return QByteArray("(no server)");
        {
            VornUpdaterEngine engine(testInstallation(), settings, testPrompter());
            if (engine.checkUpdates().isFailure() || !engine.updatesAvailable())
                return QByteArray("(check failed)");
        }
        const QByteArray received = server.receivedOnceClosed();
        const QRegularExpression element(QStringLiteral("^<nonce>[^<]*</nonce>"
                                                        "(<position>([0-9]*)</position>)?<s>"));
        const QRegularExpressionMatch match = element.match(QString::fromLatin1(received));
        return match.hasMatch() ? match.captured(2).toLatin1() : QByteArray("(malformed)");
    };
    const QByteArray first = positionSent();
    if (sent == -2) {
        QCOMPARE(first, QByteArray());
        QCOMPARE(readFile(plant == u"open" ? file : real + QStringLiteral("/rollout-position")),
                 kept);
        return;
    }
    if (sent >= 0)
        QCOMPARE(first, QByteArray::number(sent));
    QVERIFY(RolloutPosition::parse(first + '\n') >= 0);
    QCOMPARE(readFile(file), first + '\n');
    QCOMPARE(QFileInfo(file).isSymLink(), false);
    QCOMPARE(QFileInfo(file).permissions() & 0x0777, QFileDevice::Permissions(0x0600));
    QCOMPARE(readFile(target), plant == u"link" ? kept : first + '\n');
    // The next run sends the same.
    QCOMPARE(positionSent(), first);
    // Deleting the file draws anew.
    QVERIFY(QFile::remove(file));
    QVERIFY(RolloutPosition::parse(positionSent() + '\n') >= 0);
    QVERIFY(QFile::exists(file));
}

void TestUpdateCheck::signedReplyFormat_data()
{
    // Printed by reply_signature_vectors.py from the documented format, with hashlib and openssl.
    QTest::addColumn<QByteArray>("field"); // in base64
    QTest::addColumn<int>("place"); // of the exchange's statement in the batch; -1 signed alone
    QTest::addColumn<QString>("refusal"); // empty for a reply the key signed for this exchange
    const QString malformed = "the reply's signature is malformed";
    const QByteArray batchSignature
        = "Mbl/TmuVq5Vc9ULQrEYcEUnX1EOBQM/SBNWRlj1gsAuzOCst1O/FI5D9/y/GQ3Kw3VXeKLRAAkD5aDOc90B9A";
    const QByteArray batchPath = "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAANFbgZvH3nm+kANlbssxHoUa"
                                 "TpiMc3Owm3dGfDGdSijh";
    QTest::newRow("signed alone") << QByteArray("uqdtmpyYj4SJF5UskATQl93Zt6Rt+IKFKwRfK5seqI4RCb9b99"
                                                "H+9uC/uOLklokTsZ9/mv1KpXqtqO68gV8nDw==")
                                  << -1 << QString();
    QTest::newRow("third of a batch of three")
        << batchSignature + "gI" + batchPath << 2 << QString();
    // The place's bits beyond the tree's two levels, with the way to the root of place 2.
    QTest::newRow("place 6 in a tree of four")
        << batchSignature + "gY" + batchPath << 2 << malformed;
    QTest::newRow("place 130 in a tree of four")
        << batchSignature + "oI" + batchPath << 2 << malformed;
    QTest::newRow("place 254 in a tree of four")
        << batchSignature + "v4" + batchPath << 2 << malformed;
}

// The server and the updater share the code that signs and verifies: fixed vectors computed
// without it keep both to the published format.
void TestUpdateCheck::signedReplyFormat()
{
    QFETCH(QByteArray, field);
    QFETCH(int, place);
    QFETCH(QString, refusal);
    const KnownAnswerExchange known;
    const QByteArray &seed = known.seed;
    const QByteArray &nonce = known.nonce;
    const QByteArray &query = known.query;
    const QByteArray &reply = known.reply;
    const QByteArray signedReply = known.signedReply(field);

    const Failure refused = ReplySignature::verify(signedReply, {known.publicKey}, nonce, query);
    QCOMPARE(refused.text(), refusal);
    if (refused) {
        QCOMPARE(refused.kind(), Failure::Reply);
        return;
    }
    if (place < 0) {
        QCOMPARE(ReplySignature::sign(reply, seed, nonce, query), signedReply);
        return;
    }
    QByteArrayList statements;
    for (const char other : {1, 2})
        statements << ReplySignature::statement(QByteArray(32, other).toBase64(), query, reply);
    statements << ReplySignature::statement(nonce, query, reply);
    const QByteArrayList fields
        = ReplySignature::signBatch(statements, [&](const QByteArray &text) {
              return Ed25519::sign(seed, reinterpret_cast<const uchar *>(text.constData()),
                                   text.size());
          });
    QCOMPARE(fields.value(place).toBase64(), field);
}

void TestUpdateCheck::signedPositionFormat_data()
{
    QTest::addColumn<int>("position"); // the updater's; -1 when it sent none
    QTest::addColumn<QString>("refusal"); // empty for a reply signed for this exchange
    const QString otherExchange = ReplySignature::notForThisExchange().text();
    QTest::newRow("the position signed") << 1234 << QString();
    QTest::newRow("another position") << 1235 << otherExchange;
    QTest::newRow("no position sent") << -1 << otherExchange;
}

// A known answer for a statement with its position line, printed by reply_signature_vectors.py
// for position 1234.
void TestUpdateCheck::signedPositionFormat()
{
    QFETCH(int, position);
    QFETCH(QString, refusal);
    const KnownAnswerExchange known;
    const QByteArray &seed = known.seed;
    const QByteArray &nonce = known.nonce;
    const QByteArray &query = known.query;
    const QByteArray &reply = known.reply;
    const QByteArray signedReply = known.signedReply(
        "c1tVKrEnIe/y+WrdQ1BxxYEF/iNIEaNHetWZ5cspshSI8ZXYNwWUxhmqztyxhOUACokrDZH3pnRg4yBQhUaqCg==");
    const std::optional<int> sent = position < 0 ? std::nullopt : std::optional<int>(position);

    QCOMPARE(ReplySignature::verify(signedReply, {known.publicKey}, nonce, query, sent).text(),
             refusal);
    if (refusal.isEmpty())
        QCOMPARE(ReplySignature::sign(reply, seed, nonce, query, sent), signedReply);
}

QTEST_MAIN(TestUpdateCheck)
#include "tst_updatecheck.moc"
