#include "httpclient.h"
#include "httptestserver.h"
#include "testfiles.h"

#include <QBuffer>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

using Response = HttpTestServer::Response;

// Everything the client reports, in the order it reported it.
class ClientLog : public QObject
{
public:
    explicit ClientLog(HttpClient &client)
    {
        connect(&client, &HttpClient::requestStarted, this,
                [this](int id) { events.append(QStringLiteral("started %1").arg(id)); });
        connect(
            &client, &HttpClient::requestFinished, this, [this](int id, const Failure &failure) {
                events.append(QStringLiteral("finished %1%2").arg(id).arg(failure ? " error" : ""));
                if (failure)
                    lastFailure = failure;
                ++finishedCount;
            });
        connect(&client, &HttpClient::responseHeaderReceived, this,
                [this](const HttpResponseHeader &header) {
                    events.append(QStringLiteral("header %1").arg(header.statusCode()));
                    headers.append(header);
                });
        connect(&client, &HttpClient::dataReadProgress, this, [this](qint64 done, qint64) {
            events.append(QStringLiteral("progress %1").arg(done));
        });
    }

    QStringList events;
    QList<HttpResponseHeader> headers;
    int finishedCount = 0;
    Failure lastFailure;
};

// A device that refuses every write, as a file on a full disk does.
class FullDevice : public QIODevice
{
protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *, qint64) override
    {
        setErrorString(QStringLiteral("No space left on device"));
        return -1;
    }
};

} // namespace

class TestDownloadHttpClient : public QObject
{
    Q_OBJECT

private slots:
    void requestsRunInOrder();
    void hasPendingRequestsWhileLastRuns();
    void headerComesBeforeData();
    void bodyIsWrittenAsItArrives();
    void pathIsSentAsGiven_data();
    void pathIsSentAsGiven();
    void requestsAskForUnencodedBodies();
    void encodedBodyIsStoredUnchanged();
    void statusIsNotAFailure();
    void redirectIsNotFollowed();
    void abortEndsRequestAndDropsQueue();
    void failureDropsQueue();
    void shortBodyFails_data();
    void shortBodyFails();
    void failedWriteFails();
};

void TestDownloadHttpClient::requestsRunInOrder()
{
    HttpTestServer server;
    QVERIFY(server.listen());
    server.serve("/b.zip", Response::ok("bbbb"));
    HttpClient client;
    ClientLog log(client);
    QBuffer body;
    body.open(QIODevice::WriteOnly);

    const int host = client.setHost(QStringLiteral("127.0.0.1"));
    const int head = client.head(QStringLiteral("/a.zip"));
    const int get = client.get(QStringLiteral("/b.zip"), &body);
    QCOMPARE(head, host + 1);
    QCOMPARE(get, head + 1);
    // Nothing runs before the event loop does.
    QVERIFY(log.events.isEmpty());

    QTRY_COMPARE(log.finishedCount, 3);
    const QStringList expected {QStringLiteral("started %1").arg(host),
                                QStringLiteral("finished %1").arg(host),
                                QStringLiteral("started %1").arg(head),
                                QStringLiteral("header 404"),
                                QStringLiteral("finished %1").arg(head),
                                QStringLiteral("started %1").arg(get),
                                QStringLiteral("header 200"),
                                QStringLiteral("progress 4"),
                                QStringLiteral("finished %1").arg(get)};
    QCOMPARE(log.events, expected);
    QCOMPARE(server.requestLines(), QStringList({"HEAD /a.zip", "GET /b.zip"}));
    QCOMPARE(body.data(), QByteArray("bbbb"));
}

void TestDownloadHttpClient::hasPendingRequestsWhileLastRuns()
{
    HttpTestServer server;
    QVERIFY(server.listen());
    HttpClient client;
    QList<bool> pendingAtStart;
    connect(&client, &HttpClient::requestStarted, this,
            [&] { pendingAtStart.append(client.hasPendingRequests()); });
    QSignalSpy finished(&client, &HttpClient::requestFinished);
    client.setHost(QStringLiteral("127.0.0.1"));
    client.head(QStringLiteral("/a.zip"));
    client.head(QStringLiteral("/b.zip"));
    QVERIFY(client.hasPendingRequests());
    QTRY_COMPARE(finished.count(), 3);
    QCOMPARE(pendingAtStart, QList<bool>({true, true, false}));
    QVERIFY(!client.hasPendingRequests());
}

void TestDownloadHttpClient::headerComesBeforeData()
{
    HttpTestServer server;
    QVERIFY(server.listen());
    Response response = Response::ok(QByteArray(3000, 'x'));
    response.pieces = {1000, 1000};
    server.serve("/a.zip", response);
    HttpClient client;
    ClientLog log(client);
    connect(&client, &HttpClient::dataReadProgress, &server, &HttpTestServer::releasePiece);
    QBuffer body;
    body.open(QIODevice::WriteOnly);
    client.setHost(QStringLiteral("127.0.0.1"));
    const int get = client.get(QStringLiteral("/a.zip"), &body);
    QTRY_COMPARE(log.finishedCount, 2);
    QCOMPARE(log.events.mid(2),
             QStringList({"started 2", "header 200", "progress 1000", "progress 2000",
                          "progress 3000", QStringLiteral("finished %1").arg(get)}));
    QCOMPARE(log.headers.constFirst().contentLength(), 3000);
}

void TestDownloadHttpClient::bodyIsWrittenAsItArrives()
{
    HttpTestServer server;
    QVERIFY(server.listen());
    Response response = Response::ok(QByteArray(500, 'a') + QByteArray(500, 'b'));
    response.pieces = {500};
    server.serve("/a.zip", response);
    HttpClient client;
    QBuffer body;
    body.open(QIODevice::WriteOnly);
    QSignalSpy finished(&client, &HttpClient::requestFinished);
    client.setHost(QStringLiteral("127.0.0.1"));
    client.get(QStringLiteral("/a.zip"), &body);

    // The server holds the second half back until the first is in the device.
    QSignalSpy held(&server, &HttpTestServer::pieceSent);
    QVERIFY(held.wait());
    QTRY_COMPARE(body.data(), QByteArray(500, 'a'));
    QCOMPARE(finished.count(), 1);
    server.releasePiece();
    QTRY_COMPARE(finished.count(), 2);
    QCOMPARE(body.data(), response.body);
}

void TestDownloadHttpClient::pathIsSentAsGiven_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("target");
    QTest::newRow("plain") << QStringLiteral("/im-core.zip") << QByteArray("/im-core.zip");
    QTest::newRow("several segments")
        << QStringLiteral("/updates/2.0/im-core.zip") << QByteArray("/updates/2.0/im-core.zip");
    QTest::newRow("blank") << QStringLiteral("/im core.zip") << QByteArray("/im%20core.zip");
    QTest::newRow("percent sign") << QStringLiteral("/50%.zip") << QByteArray("/50%25.zip");
    QTest::newRow("question mark") << QStringLiteral("/why?.zip") << QByteArray("/why%3F.zip");
    QTest::newRow("plus and comma") << QStringLiteral("/a+b,c.zip") << QByteArray("/a+b,c.zip");
    QTest::newRow("non-ASCII") << QStringLiteral("/pl/\u017c.zip") << QByteArray("/pl/%C5%BC.zip");
    QTest::newRow("empty") << QString() << QByteArray("/");
    QTest::newRow("doubled separator") << QStringLiteral("/a//b.zip") << QByteArray("/a//b.zip");
    // The network layer removes dot segments, as RFC 3986 has every client do.
    QTest::newRow("dot segment") << QStringLiteral("/a/./b.zip") << QByteArray("/a/b.zip");
}

void TestDownloadHttpClient::pathIsSentAsGiven()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, target);
    HttpTestServer server;
    QVERIFY(server.listen());
    HttpClient client;
    QSignalSpy finished(&client, &HttpClient::requestFinished);
    client.setHost(QStringLiteral("127.0.0.1"));
    client.head(path);
    QTRY_COMPARE(finished.count(), 2);
    QCOMPARE(server.requests().size(), 1);
    QCOMPARE(server.requests().constFirst().target, target);
}

void TestDownloadHttpClient::requestsAskForUnencodedBodies()
{
    HttpTestServer server;
    QVERIFY(server.listen());
    HttpClient client;
    QSignalSpy finished(&client, &HttpClient::requestFinished);
    client.setHost(QStringLiteral("127.0.0.1"));
    client.head(QStringLiteral("/a.zip"));
    client.get(QStringLiteral("/a.zip"), nullptr);
    QTRY_COMPARE(finished.count(), 3);
    QCOMPARE(server.requests().size(), 2);
    for (const HttpTestServer::Request &request : server.requests()) {
        QCOMPARE(request.field("Accept-Encoding"), QByteArray("identity"));
        QCOMPARE(request.field("Host"), QByteArray("127.0.0.1"));
        QCOMPARE(request.version, QByteArray("HTTP/1.1"));
    }
}

void TestDownloadHttpClient::encodedBodyIsStoredUnchanged()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString plainPath = dir.filePath(QStringLiteral("plain"));
    QVERIFY(writeFile(plainPath, HttpTestServer::pattern(0, 200000)));
    QProcess gzip;
    gzip.start(QStringLiteral("gzip"), {QStringLiteral("-c"), QStringLiteral("-n"), plainPath});
    QVERIFY(gzip.waitForFinished());
    const QByteArray compressed = gzip.readAllStandardOutput();
    QVERIFY(compressed.startsWith("\x1f\x8b"));

    HttpTestServer server;
    QVERIFY(server.listen());
    Response response = Response::ok(compressed);
    response.fields = {{"Content-Encoding", "gzip"}, {"Content-Type", "application/zip"}};
    server.serve("/a.zip", response);
    HttpClient client;
    QBuffer body;
    body.open(QIODevice::WriteOnly);
    QSignalSpy finished(&client, &HttpClient::requestFinished);
    client.setHost(QStringLiteral("127.0.0.1"));
    client.get(QStringLiteral("/a.zip"), &body);
    QTRY_COMPARE(finished.count(), 2);
    QCOMPARE(finished.last().at(1).toBool(), false);
    QCOMPARE(body.data(), compressed);
}

void TestDownloadHttpClient::statusIsNotAFailure()
{
    HttpTestServer server;
    QVERIFY(server.listen());
    server.serve("/gone.zip", Response::withStatus(410, "Gone", "gone"));
    HttpClient client;
    ClientLog log(client);
    QBuffer body;
    body.open(QIODevice::WriteOnly);
    client.setHost(QStringLiteral("127.0.0.1"));
    client.get(QStringLiteral("/gone.zip"), &body);
    client.head(QStringLiteral("/gone.zip"));
    QTRY_COMPARE(log.finishedCount, 3);
    QVERIFY(!log.events.join(' ').contains("error"));
    QCOMPARE(log.headers.size(), 2);
    QCOMPARE(log.headers.at(0).statusCode(), 410);
    QCOMPARE(log.headers.at(0).reasonPhrase(), QStringLiteral("Gone"));
    QVERIFY(!log.headers.at(0).isSuccess());
}

void TestDownloadHttpClient::redirectIsNotFollowed()
{
    HttpTestServer server;
    QVERIFY(server.listen());
    Response moved = Response::withStatus(302, "Found", "moved");
    moved.fields = {{"Location", "http://127.0.0.1/elsewhere.zip"}};
    server.serve("/a.zip", moved);
    server.serve("/elsewhere.zip", Response::ok("elsewhere"));
    HttpClient client;
    ClientLog log(client);
    QBuffer body;
    body.open(QIODevice::WriteOnly);
    client.setHost(QStringLiteral("127.0.0.1"));
    client.get(QStringLiteral("/a.zip"), &body);
    QTRY_COMPARE(log.finishedCount, 2);
    QCOMPARE(log.headers.constFirst().statusCode(), 302);
    QCOMPARE(log.headers.constFirst().value("Location"),
             QByteArray("http://127.0.0.1/elsewhere.zip"));
    QCOMPARE(server.requestLines(), QStringList({"GET /a.zip"}));
}

void TestDownloadHttpClient::abortEndsRequestAndDropsQueue()
{
    HttpTestServer server;
    QVERIFY(server.listen());
    Response slow = Response::ok(QByteArray(4000, 's'));
    slow.pieces = {1000};
    server.serve("/slow.zip", slow);
    HttpClient client;
    ClientLog log(client);
    QBuffer body;
    body.open(QIODevice::WriteOnly);
    client.setHost(QStringLiteral("127.0.0.1"));
    const int get = client.get(QStringLiteral("/slow.zip"), &body);
    const int later = client.head(QStringLiteral("/later.zip"));

    QSignalSpy progress(&client, &HttpClient::dataReadProgress);
    QVERIFY(progress.wait());
    client.abort();
    // The end of the request is reported at once, as an error.
    QCOMPARE(log.events.last(), QStringLiteral("finished %1 error").arg(get));
    QCOMPARE(log.lastFailure.kind(), Failure::Network);
    QCOMPARE(log.lastFailure.text(), QStringLiteral("Request aborted"));
    QVERIFY(!client.hasPendingRequests());

    QSignalSpy closed(&server, &HttpTestServer::connectionClosed);
    QVERIFY(closed.wait());
    QVERIFY(!log.events.join(' ').contains(QStringLiteral("started %1").arg(later)));
    QCOMPARE(server.requestLines(), QStringList({"GET /slow.zip"}));
    QCOMPARE(body.data(), QByteArray(1000, 's'));

    // The client serves new requests after an abort.
    const int again = client.head(QStringLiteral("/again.zip"));
    QTRY_COMPARE(log.events.last(), QStringLiteral("finished %1").arg(again));
}

void TestDownloadHttpClient::failureDropsQueue()
{
    HttpTestServer server;
    QVERIFY(server.listen());
    HttpClient client;
    ClientLog log(client);
    // Nothing listens on 127.0.0.3: the connection is refused.
    client.setHost(QStringLiteral("127.0.0.3"));
    const int refused = client.head(QStringLiteral("/a.zip"));
    client.setHost(QStringLiteral("127.0.0.1"));
    client.head(QStringLiteral("/b.zip"));
    QTRY_VERIFY(log.events.contains(QStringLiteral("finished %1 error").arg(refused)));
    QCOMPARE(log.lastFailure.kind(), Failure::Network);
    QVERIFY(!log.lastFailure.text().isEmpty());
    QCOMPARE(log.events.size(), 4);
    QVERIFY(!client.hasPendingRequests());

    client.setHost(QStringLiteral("127.0.0.1"));
    const int next = client.head(QStringLiteral("/c.zip"));
    QTRY_COMPARE(log.events.last(), QStringLiteral("finished %1").arg(next));
    QCOMPARE(server.requestLines(), QStringList({"HEAD /c.zip"}));
}

void TestDownloadHttpClient::shortBodyFails_data()
{
    QTest::addColumn<bool>("chunked");
    QTest::newRow("with Content-Length") << false;
    QTest::newRow("chunked") << true;
}

void TestDownloadHttpClient::shortBodyFails()
{
    QFETCH(bool, chunked);
    HttpTestServer server;
    QVERIFY(server.listen());
    Response dropped = Response::ok(QByteArray(3000, 'd'));
    dropped.chunked = chunked;
    dropped.dropAfter = 1000;
    server.serve("/a.zip", dropped);
    HttpClient client;
    ClientLog log(client);
    QBuffer body;
    body.open(QIODevice::WriteOnly);
    client.setHost(QStringLiteral("127.0.0.1"));
    const int get = client.get(QStringLiteral("/a.zip"), &body);
    QTRY_COMPARE(log.finishedCount, 2);
    QCOMPARE(log.events.last(), QStringLiteral("finished %1 error").arg(get));
    QCOMPARE(log.lastFailure.kind(), Failure::Network);
    QVERIFY(!log.lastFailure.text().isEmpty());
}

void TestDownloadHttpClient::failedWriteFails()
{
    HttpTestServer server;
    QVERIFY(server.listen());
    server.serve("/a.zip", Response::ok(QByteArray(3000, 'w')));
    HttpClient client;
    ClientLog log(client);
    FullDevice device;
    device.open(QIODevice::WriteOnly);
    client.setHost(QStringLiteral("127.0.0.1"));
    const int get = client.get(QStringLiteral("/a.zip"), &device);
    client.head(QStringLiteral("/b.zip"));
    QTRY_COMPARE(log.finishedCount, 2);
    QCOMPARE(log.events.last(), QStringLiteral("finished %1 error").arg(get));
    QCOMPARE(log.lastFailure.kind(), Failure::Network);
    QCOMPARE(log.lastFailure.text(), QStringLiteral("No space left on device"));
    QVERIFY(!log.events.join(' ').contains("progress"));
    QCOMPARE(server.requestLines(), QStringList({"GET /a.zip"}));
}

QTEST_GUILESS_MAIN(TestDownloadHttpClient)
#include "tst_downloadhttpclient.moc"
