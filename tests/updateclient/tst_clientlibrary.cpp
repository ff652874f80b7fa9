#include "component.h"
#include "componentsfile.h"
#include "request.h"
#include "result.h"
#include "testfiles.h"
#include "update.h"
#include "zuupdaterclient.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// One component per row: project, name, type, version, then optionally the five text fields.
using Rows = QList<QStringList>;

std::string text(const QStringList &row, int index)
{
    return index < row.size() ? row.at(index).toStdString() : std::string();
}

Component component(const QStringList &row)
{
    return Component(text(row, 0), text(row, 1), text(row, 2), text(row, 3), text(row, 4),
                     text(row, 5), text(row, 6), text(row, 7), text(row, 8));
}

ComponentsFile componentsFile(const Rows &rows)
{
    ComponentsFile file;
    for (const QStringList &row : rows)
        file.addComponent(component(row));
    return file;
}

QByteArray savedText(ComponentsFile &file, const QString &path)
{
    if (!file.save(path.toStdString()))
        return "save failed";
    return readFile(path);
}

QByteArray query(const ZuUpdaterClient &client)
{
    return QByteArray::fromStdString(client.getQuery());
}

// The six lines and the closing tag that one component takes in the components file.
QByteArray componentText(const QByteArray &project, const QByteArray &name, const QByteArray &type,
                         const QByteArray &version, const QByteArray &description = {})
{
    return "<component project='" + project + "' name='" + name + "' type='" + type + "' version='"
        + version + "'>\n<description>" + description
        + "</description>\n<copyrights></copyrights>\n<author></author>\n"
          "<webpage></webpage>\n<email></email>\n</component>";
}

} // namespace

class TestClientLibrary : public QObject
{
    Q_OBJECT

private slots:
    void identifierOrder();
    void firstComponentWins_data();
    void firstComponentWins();
    void removeComponent_data();
    void removeComponent();

    void save_data();
    void save();
    void saveReplacesLongerFile();
    void saveFails_data();
    void saveFails();

    void queryText_data();
    void queryText();
    void firstRequestWins();
    void requestsFromComponentsFile();

    void resultKeepsAddresses();
};

void TestClientLibrary::identifierOrder()
{
    ComponentsFile file = componentsFile({{"p", "z", "t", "1"}, {"p", "a", "t", "2"}});

    QStringList names;
    for (const auto &entry : file.getComponents())
        names << QString::fromStdString(entry.second.getName());
    QCOMPARE(names, QStringList({"a", "z"}));

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QCOMPARE(savedText(file, dir.filePath("components.xml")),
             "<components>\n" + componentText("p", "a", "t", "2")
                 + componentText("p", "z", "t", "1") + "</components>");
}

void TestClientLibrary::firstComponentWins_data()
{
    QTest::addColumn<QStringList>("first");
    QTest::addColumn<QStringList>("second");

    QTest::newRow("same component, other version")
        << QStringList {"p", "n", "t", "1.0", "old"} << QStringList {"p", "n", "t", "2.0", "new"};
    QTest::newRow("same identifier, other field boundary")
        << QStringList {"ab", "c", "d", "1.0", "old"} << QStringList {"a", "bc", "d", "2.0", "new"};
}

void TestClientLibrary::firstComponentWins()
{
    QFETCH(QStringList, first);
    QFETCH(QStringList, second);

    ComponentsFile file = componentsFile({first, second});

    QCOMPARE(file.getComponents().size(), std::size_t(1));
    const Component &stored = file.getComponents().begin()->second;
    QCOMPARE(stored.getName(), first.at(1).toStdString());
    QCOMPARE(stored.getVersion(), first.at(3).toStdString());
    QCOMPARE(stored.getDescription(), first.at(4).toStdString());

    ZuUpdaterClient client;
    client.addRequest(file);
    QVERIFY(query(client).contains("version='" + first.at(3).toUtf8() + "'"));
    QVERIFY(!query(client).contains(second.at(3).toUtf8()));
}

void TestClientLibrary::removeComponent_data()
{
    QTest::addColumn<QStringList>("removed");
    QTest::addColumn<QStringList>("remaining");

    QTest::newRow("matching") << QStringList {"p", "a", "t"} << QStringList {"z"};
    QTest::newRow("same identifier, other field boundary")
        << QStringList {"pa", "", "t"} << QStringList {"z"};
    QTest::newRow("other type") << QStringList {"p", "a", "x"} << QStringList {"a", "z"};
    QTest::newRow("other project") << QStringList {"q", "a", "t"} << QStringList {"a", "z"};
    QTest::newRow("empty texts") << QStringList {"", "", ""} << QStringList {"a", "z"};
}

void TestClientLibrary::removeComponent()
{
    QFETCH(QStringList, removed);
    QFETCH(QStringList, remaining);

    ComponentsFile file = componentsFile({{"p", "a", "t", "1", "kept"}, {"p", "z", "t", "2"}});
    file.removeComponent(removed.at(0).toStdString(), removed.at(1).toStdString(),
                         removed.at(2).toStdString());

    QStringList names;
    for (const auto &entry : file.getComponents())
        names << QString::fromStdString(entry.second.getName());
    QCOMPARE(names, remaining);
    if (remaining.contains("a"))
        QCOMPARE(file.getComponents().begin()->second.getDescription(), std::string("kept"));
}

void TestClientLibrary::save_data()
{
    QTest::addColumn<Rows>("components");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("no components") << Rows {} << QByteArray("<components>\n</components>");
    QTest::newRow("every field")
        << Rows {{"im", "core", "app", "1.0", "Core", "(c) Vorn", "Team", "http://vorn.example",
                  "team@vorn.example"}}
        << QByteArray("<components>\n"
                      "<component project='im' name='core' type='app' version='1.0'>\n"
                      "<description>Core</description>\n"
                      "<copyrights>(c) Vorn</copyrights>\n"
                      "<author>Team</author>\n"
                      "<webpage>http://vorn.example</webpage>\n"
                      "<email>team@vorn.example</email>\n"
                      "</component></components>");
    QTest::newRow("empty attributes are written")
        << Rows {{"", "", "", ""}}
        << "<components>\n" + componentText("", "", "", "") + "</components>";
    QTest::newRow("closing and next opening tag on one line")
        << Rows {{"p", "a", "t", "1"}, {"p", "b", "t", "2"}}
        << "<components>\n" + componentText("p", "a", "t", "1") + componentText("p", "b", "t", "2")
            + "</components>";
    QTest::newRow("apostrophe, less-than and ampersand unescaped")
        << Rows {{"p'", "a<b", "t&u", "1'0", "it's <b> & more"}}
        << "<components>\n" + componentText("p'", "a<b", "t&u", "1'0", "it's <b> & more")
            + "</components>";
    QTest::newRow("bytes beyond ASCII unchanged")
        << Rows {{"p", "n", "t", "1", QString::fromUtf8("zażółć")}}
        << "<components>\n"
            + componentText("p", "n", "t", "1", "za\xc5\xbc\xc3\xb3\xc5\x82\xc4\x87")
            + "</components>";
}

void TestClientLibrary::save()
{
    QFETCH(Rows, components);
    QFETCH(QByteArray, expected);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    ComponentsFile file = componentsFile(components);
    QCOMPARE(savedText(file, dir.filePath("components.xml")), expected);
}

void TestClientLibrary::saveReplacesLongerFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("components.xml");
    QVERIFY(writeFile(path, QByteArray(4096, 'x')));

    ComponentsFile file;
    QCOMPARE(savedText(file, path), QByteArray("<components>\n</components>"));
}

void TestClientLibrary::saveFails_data()
{
    QTest::addColumn<QString>("path"); // within a fresh directory, unless absolute
    QTest::addColumn<QString>("absent");

    QTest::newRow("into a missing directory") << "missing/components.xml"
                                              << "missing";
    // The text fits the stdio buffer: only the flush meets the full disk.
    QTest::newRow("onto a full disk") << "/dev/full" << QString();
}

void TestClientLibrary::saveFails()
{
    QFETCH(QString, path);
    QFETCH(QString, absent);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    ComponentsFile file = componentsFile({{"p", "n", "t", "1"}});

    QVERIFY(!file.save(QDir(dir.path()).filePath(path).toStdString()));
    if (!absent.isEmpty())
        QVERIFY(!QFileInfo::exists(dir.filePath(absent)));
}

void TestClientLibrary::queryText_data()
{
    QTest::addColumn<Rows>("requests");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("no requests") << Rows {} << QByteArray("<s><update></update></s>");
    QTest::newRow("all attributes")
        << Rows {{"p", "n", "t", "1.0"}}
        << QByteArray("<s><update><component project='p' name='n' type='t' version='1.0' />"
                      "</update></s>");
    QTest::newRow("empty project and type")
        << Rows {{"", "n", "", "1.0"}}
        << QByteArray("<s><update><component name='n' version='1.0' /></update></s>");
    QTest::newRow("empty version is written")
        << Rows {{"", "n", "", ""}}
        << QByteArray("<s><update><component name='n' version='' /></update></s>");
    QTest::newRow("everything empty")
        << Rows {{"", "", "", ""}}
        << QByteArray("<s><update><component version='' /></update></s>");
    QTest::newRow("identifier order, one line")
        << Rows {{"p", "z", "t", "1"}, {"p", "a", "t", "2"}}
        << QByteArray("<s><update><component project='p' name='a' type='t' version='2' />"
                      "<component project='p' name='z' type='t' version='1' /></update></s>");
    QTest::newRow("unescaped values")
        << Rows {{"o'p", "a<b", "c&d", "1'"}}
        << QByteArray("<s><update><component project='o'p' name='a<b' type='c&d' version='1'' />"
                      "</update></s>");
}

void TestClientLibrary::queryText()
{
    QFETCH(Rows, requests);
    QFETCH(QByteArray, expected);

    ZuUpdaterClient client;
    for (const QStringList &row : requests)
        client.addRequest(text(row, 0), text(row, 1), text(row, 2), text(row, 3));
    QCOMPARE(query(client), expected);
}

void TestClientLibrary::firstRequestWins()
{
    ZuUpdaterClient client;
    client.addRequest("p", "n", "t", "1.0");
    client.addRequest("p", "n", "t", "2.0");
    client.addRequest("pn", "", "t", "3.0");

    QCOMPARE(query(client),
             QByteArray("<s><update><component project='p' name='n' type='t' version='1.0' />"
                        "</update></s>"));
}

void TestClientLibrary::requestsFromComponentsFile()
{
    ComponentsFile file
        = componentsFile({{"p", "c", "t", "3.0", "ignored", "(c)", "me", "web", "@"},
                          {"p", "a", "t", "1.0"},
                          {"p", "b", "t", "2.0"}});
    ZuUpdaterClient client;
    client.addRequest("p", "b", "t", "0.9");
    client.addRequest("q", "x", "t", "5");
    client.addRequest(file);

    QCOMPARE(query(client),
             QByteArray("<s><update>"
                        "<component project='p' name='a' type='t' version='1.0' />"
                        "<component project='p' name='b' type='t' version='0.9' />"
                        "<component project='p' name='c' type='t' version='3.0' />"
                        "<component project='q' name='x' type='t' version='5' />"
                        "</update></s>"));
}

void TestClientLibrary::resultKeepsAddresses()
{
    const Request request("p", "n", "t", "1.0");
    const Update first("p", "n", "t", "1.1", "", "", "", "", "", "", "", false, 0);
    const Update second("p", "n", "t", "1.2", "", "", "", "", "", "", "", true, 1);

    Result result(request);
    QVERIFY(result.getUpdates().empty());
    result.addUpdate(second);
    result.addUpdate(first);
    result.addUpdate(second);

    QCOMPARE(&result.getRequest(), &request);
    QCOMPARE(result.getUpdates().size(), std::size_t(3));
    QCOMPARE(result.getUpdates().at(0), &second);
    QCOMPARE(result.getUpdates().at(1), &first);
    QCOMPARE(result.getUpdates().at(2), &second);
}

QTEST_APPLESS_MAIN(TestClientLibrary)
#include "tst_clientlibrary.moc"
