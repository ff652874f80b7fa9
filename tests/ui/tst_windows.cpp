#include "eventloop.h"
#include "fakeupdateserver.h"
#include "httptestserver.h"
#include "manualclock.h"
#include "messageboxanswerer.h"
#include "shownwindow.h"
#include "standinmessenger.h"
#include "testfiles.h"
#include "testinstallation.h"
#include "vornchangelogdialog.h"
#include "vornconfig.h"
#include "vorndownloaddialog.h"
#include "vorninstalldialog.h"
#include "vornsummarydialog.h"
#include "vornupdaterengine.h"
#include "windowform.h"

#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTranslator>
#include <QtTest>

namespace {

// The windows' tests offer packages nobody signed, whatever keys the build trusts.
RunSettings unsignedPackages()
{
    RunSettings settings = testSettings();
    settings.packageKeys.clear();
    return settings;
}

template<class T> T *child(const QString &window, const char *name)
{
    QWidget *root = shownWindow(window);
    return root ? root->findChild<T *>(QLatin1String(name)) : nullptr;
}

QByteArray request(const QByteArray &name, const QByteArray &version, const QByteArray &description,
                   const QByteArray &changelog)
{
    return "<request project='im' name='" + name + "' type='plugin'><version>" + version
        + "</version><description>" + description + "</description><changelog>" + changelog
        + "</changelog><link>http://127.0.0.1/" + name + ".zip</link></request>";
}

// A package whose body waits after its first piece, so that the run stays in the download.
HttpTestServer::Response heldPackage()
{
    HttpTestServer::Response response = HttpTestServer::Response::generated(1 << 20);
    response.pieces = {1000};
    return response;
}

} // namespace

class TestWindows : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void changelogText_data();
    void changelogText();
    void changelogToggle_data();
    void changelogToggle();
    void prepaintLeavesTheWindowAsItWas();
    void downloadLaterEndsTheRun_data();
    void downloadLaterEndsTheRun();
    void downloadNowHandsOverToTheDownload();
    void downloadStartsOnlyInTheEventLoop();
    void downloadWindowFollowsTheEngine_data();
    void downloadWindowFollowsTheEngine();
    void cancel_data();
    void cancel();
    void errorClosesTheWindowBeforeItsBox_data();
    void errorClosesTheWindowBeforeItsBox();
    void installHandsOverToTheSummary_data();
    void installHandsOverToTheSummary();
    void closeEndsTheRunWithZero_data();
    void closeEndsTheRunWithZero();
    void unverifiedBodyNeverOutlivesItsRun_data();
    void unverifiedBodyNeverOutlivesItsRun();
    void damagedFormStopsTheRun_data();
    void damagedFormStopsTheRun();
    void formWaitsOnlyBeforeText_data();
    void formWaitsOnlyBeforeText();

private:
    void offer(VornUpdaterEngine &engine, const QByteArray &requests);
    void setPolish(bool polish);

    QTemporaryDir temp;
    QTranslator translator;
    std::unique_ptr<HttpTestServer> web;
};

void TestWindows::initTestCase()
{
    Q_INIT_RESOURCE(updater);
    QVERIFY(translator.load(QStringLiteral(":/languages/vorn_pl_PL.qm")));
    qputenv("TMPDIR", QFile::encodeName(temp.path()));
    // Plug-in packages install below the home directory.
    qputenv("HOME", QFile::encodeName(temp.path()));
}

void TestWindows::init()
{
    web = std::make_unique<HttpTestServer>();
    QVERIFY(web->listen());
}

void TestWindows::cleanup()
{
    for (QWidget *widget : QApplication::topLevelWidgets())
        widget->close();
    settle();
    web.reset();
    setPolish(false);
}

void TestWindows::setPolish(bool polish)
{
    if (polish)
        QCoreApplication::installTranslator(&translator);
    else
        QCoreApplication::removeTranslator(&translator);
}

void TestWindows::offer(VornUpdaterEngine &engine, const QByteArray &requests)
{
    const QByteArray reply
        = "<?xml version='1.0' encoding='UTF-8'?><update>" + requests + "</update>";
    QVERIFY(StandInMessenger::writeAskingFor(reply));
    FakeUpdateServer server;
    server.setReply({reply});
    QVERIFY(server.listen());
    QVERIFY(!engine.checkUpdates().isFailure());
}

void TestWindows::changelogText_data()
{
    QTest::addColumn<QByteArray>("requests");
    QTest::addColumn<QString>("text");
    QTest::newRow("one update") << request("core", "2.0", "Vorn core", "Fixed crashes.")
                                << QStringLiteral("Vorn core\nZmiany w wersji 2.0\nFixed crashes.");
    QTest::newRow("three updates")
        << request("a", "1", "A", "a1\na2") + request("b", "2", "B", "b")
            + request("c", "3", "C", "c")
        << QStringLiteral("A\nZmiany w wersji 1\na1\na2\n\nB\nZmiany w wersji 2\nb\n\n"
                          "C\nZmiany w wersji 3\nc");
    QTest::newRow("empty description and version")
        << request("core", "", "", "Only fixes")
        << QStringLiteral("\nZmiany w wersji \nOnly fixes");
    QTest::newRow("Polish letters and markup")
        << request("core", "2.1", QStringLiteral("Komunikator Vorn").toUtf8(),
                   QStringLiteral("Poprawiono błędy; źdźbło &lt;b&gt;żółw&lt;/b&gt;").toUtf8())
        << QStringLiteral("Komunikator Vorn\nZmiany w wersji 2.1\nPoprawiono błędy; źdźbło "
                          "<b>żółw</b>");
}

void TestWindows::changelogText()
{
    QFETCH(QByteArray, requests);
    QFETCH(QString, text);
    for (bool polish : {false, true}) {
        setPolish(polish);
        VornUpdaterEngine engine(testInstallation(), unsignedPackages(), testPrompter());
        offer(engine, requests);
        (new VornChangelogDialog(&engine))->offer();
        auto *details
            = child<QPlainTextEdit>("Updater_Changelog_MainWindow", "Updater_Changelog_Details");
        QVERIFY(details);
        QCOMPARE(details->toPlainText(), text);
        QVERIFY(details->isHidden());
        shownWindow("Updater_Changelog_MainWindow")->close();
        settle();
    }
}

void TestWindows::changelogToggle_data()
{
    QTest::addColumn<bool>("polish");
    QTest::addColumn<QStringList>("texts"); // shown, then hidden
    QTest::newRow("English") << false << QStringList {"Show changelog", "Hide changelog"};
    QTest::newRow("Polish") << true << QStringList {"Pokaż listę zmian", "Ukryj listę zmian"};
}

// Clicked as a person does, the event loop running in between: Qt redoes layouts there.
void TestWindows::changelogToggle()
{
    QFETCH(bool, polish);
    QFETCH(QStringList, texts);
    setPolish(polish);
    VornUpdaterEngine engine(testInstallation(), unsignedPackages(), testPrompter());
    offer(engine, request("core", "2.0", "Core", "line\nline\nline"));
    (new VornChangelogDialog(&engine))->offer();
    QWidget *window = shownWindow("Updater_Changelog_MainWindow");
    QVERIFY(window);
    auto *button = window->findChild<QPushButton *>("Updater_Changelog_ViewChangelog");
    auto *details = window->findChild<QPlainTextEdit *>("Updater_Changelog_Details");
    QCOMPARE(window->windowTitle(),
             polish ? QStringLiteral("Aktualizuj") : QStringLiteral("Update"));
    settle();
    const int compact = window->height();
    QCOMPARE(button->text(), texts.at(0));

    int tall = 0;
    for (int click = 1; click <= 4; ++click) {
        const bool shown = click % 2 == 1;
        QTest::mouseClick(button, Qt::LeftButton);
        QTRY_COMPARE(details->isVisible(), shown);
        QCOMPARE(button->text(), texts.at(shown ? 1 : 0));
        if (shown && tall) {
            QTRY_COMPARE(window->height(), tall);
        } else if (shown) {
            QTRY_VERIFY2(window->height() > compact, qPrintable(QString::number(window->height())));
            settle();
            tall = window->height();
        } else {
            QTRY_COMPARE(window->height(), compact);
        }
        QCOMPARE(window->width(), 450);
    }
}

// Painted once while hidden, the window shows as it would have without.
void TestWindows::prepaintLeavesTheWindowAsItWas()
{
    VornUpdaterEngine engine(testInstallation(), unsignedPackages(), testPrompter());
    offer(engine, request("core", "2.0", "Core", "line\nline"));
    QImage shown[2];
    for (bool prepainted : {false, true}) {
        auto *dialog = new VornChangelogDialog(&engine);
        if (prepainted) {
            dialog->prepaint();
            QVERIFY(!shownWindow("Updater_Changelog_MainWindow"));
        }
        dialog->offer();
        QWidget *window = shownWindow("Updater_Changelog_MainWindow");
        QVERIFY(window);
        shown[prepainted] = window->grab().toImage();
        window->close();
        settle();
    }
    QCOMPARE(shown[1].size(), shown[0].size());
    QCOMPARE(shown[1], shown[0]);
}

void TestWindows::downloadLaterEndsTheRun_data()
{
    QTest::addColumn<bool>("byButton");
    QTest::newRow("Download later") << true;
    QTest::newRow("window closed") << false;
}

void TestWindows::downloadLaterEndsTheRun()
{
    QFETCH(bool, byButton);
    VornUpdaterEngine engine(testInstallation(), unsignedPackages(), testPrompter());
    offer(engine, request("core", "2.0", "Core", "x"));
    (new VornChangelogDialog(&engine))->offer();
    QWidget *window = shownWindow("Updater_Changelog_MainWindow");
    QVERIFY(window);
    QPointer<QWidget> guard(window);
    QTimer::singleShot(0, window, [window, byButton] {
        if (byButton)
            window->findChild<QPushButton *>("Updater_Changelog_DownloadLater")->click();
        else
            window->close();
    });
    QCOMPARE(runEventLoop(), 0);
    settle();
    QVERIFY(!guard); // deleted on close
    QVERIFY(!shownWindow("Updater_Download_MainWindow"));
    QVERIFY(web->requests().isEmpty());
}

void TestWindows::downloadNowHandsOverToTheDownload()
{
    VornUpdaterEngine engine(testInstallation(), unsignedPackages(), testPrompter());
    offer(engine, request("core", "2.0", "Core", "x"));
    web->serve("/core.zip", heldPackage());
    (new VornChangelogDialog(&engine))->offer();
    child<QPushButton>("Updater_Changelog_MainWindow", "Updater_Changelog_DownloadNow")->click();
    QVERIFY(!shownWindow("Updater_Changelog_MainWindow"));
    QVERIFY(shownWindow("Updater_Download_MainWindow"));
    QVERIFY(web->requests().isEmpty());
    QTRY_VERIFY(!web->requests().isEmpty());
    QCOMPARE(web->requests().first().line(), QStringLiteral("HEAD /core.zip"));
}

void TestWindows::downloadStartsOnlyInTheEventLoop()
{
    VornUpdaterEngine engine(testInstallation(), unsignedPackages(), testPrompter());
    offer(engine, request("core", "2.0", "Core", "x"));
    web->serve("/core.zip", heldPackage());
    QSignalSpy named(&engine, &VornUpdaterEngine::downloadFile);
    new VornDownloadDialog(&engine);
    QWidget *window = shownWindow("Updater_Download_MainWindow");
    QVERIFY(window);
    QCOMPARE(window->size(), QSize(450, 189));
    QVERIFY(web->requests().isEmpty());
    QVERIFY(named.isEmpty());
    QTRY_COMPARE(named.count(), 1);
    QCOMPARE(web->requestLines().first(), QStringLiteral("HEAD /core.zip"));
}

void TestWindows::downloadWindowFollowsTheEngine_data()
{
    QTest::addColumn<bool>("polish");
    QTest::addColumn<QStringList>("texts"); // title, label, button
    QTest::newRow("English") << false << QStringList {"Update", "Downloading...", "Cancel"};
    QTest::newRow("Polish") << true << QStringList {"Aktualizuj", "Pobieranie...", "Anuluj"};
}

void TestWindows::downloadWindowFollowsTheEngine()
{
    QFETCH(bool, polish);
    QFETCH(QStringList, texts);
    setPolish(polish);
    VornUpdaterEngine engine(testInstallation(), unsignedPackages(), testPrompter());
    new VornDownloadDialog(&engine);
    QWidget *window = shownWindow("Updater_Download_MainWindow");
    QVERIFY(window);
    auto *bar = window->findChild<QProgressBar *>("Updater_Download_Progress");
    auto *label = window->findChild<QLabel *>("Updater_Download_ProgressText");
    QCOMPARE(window->windowTitle(), texts.at(0));
    QCOMPARE(label->text(), texts.at(1));
    QCOMPARE(window->findChild<QPushButton *>("Updater_Download_Cancel")->text(), texts.at(2));
    QCOMPARE(bar->value(), 0);
    for (int value : {5, 37, 100}) {
        emit engine.downloadProgress(value);
        QCOMPARE(bar->value(), value);
    }
    emit engine.downloadFile(QStringLiteral("core"));
    QCOMPARE(label->text(), QStringLiteral("core"));
    emit engine.downloadFile(QStringLiteral("plugin-emoji"));
    QCOMPARE(label->text(), QStringLiteral("plugin-emoji"));
}

void TestWindows::cancel_data()
{
    QTest::addColumn<bool>("whileFetching");
    QTest::newRow("while sizing") << false;
    QTest::newRow("while fetching") << true;
}

void TestWindows::cancel()
{
    QFETCH(bool, whileFetching);
    VornUpdaterEngine engine(testInstallation(), unsignedPackages(), testPrompter());
    offer(engine, request("core", "2.0", "Core", "x"));
    web->serve("/core.zip", heldPackage());
    QSignalSpy errors(&engine, &VornUpdaterEngine::failed);
    QSignalSpy finished(&engine, &VornUpdaterEngine::downloadFinished);
    MessageBoxAnswerer boxes;

    new VornDownloadDialog(&engine);
    auto *cancel = child<QPushButton>("Updater_Download_MainWindow", "Updater_Download_Cancel");
    QVERIFY(cancel);
    if (whileFetching)
        connect(&engine, &VornUpdaterEngine::downloadProgress, cancel, &QPushButton::click,
                Qt::SingleShotConnection);
    else
        // Queued after the window's own start of the download: the sizes are not known yet.
        QTimer::singleShot(0, cancel, &QPushButton::click);
    QCOMPARE(runEventLoop(), 0);
    QVERIFY(!shownWindow("Updater_Download_MainWindow"));
    QCOMPARE(errors.count(), 0);
    QCOMPARE(finished.count(), 0);
    QCOMPARE(boxes.count(), 0);
    QCOMPARE(web->requestLines().contains(QStringLiteral("GET /core.zip")), whileFetching);
}

void TestWindows::errorClosesTheWindowBeforeItsBox_data()
{
    QTest::addColumn<bool>("polish");
    QTest::addColumn<QString>("text");
    QTest::newRow("English") << false
                             << QStringLiteral("The package server refused the connection.");
    QTest::newRow("Polish: the title stays English")
        << true << QStringLiteral("Serwer pakietów odrzucił połączenie.");
}

// A package host that refuses: the window goes, its box follows, and the run ends normally.
void TestWindows::errorClosesTheWindowBeforeItsBox()
{
    QFETCH(bool, polish);
    QFETCH(QString, text);
    setPolish(polish);
    VornUpdaterEngine engine(testInstallation(), unsignedPackages(), testPrompter());
    // Nothing listens on 127.0.0.3.
    offer(engine, request("core", "2.0", "Core", "x").replace("127.0.0.1", "127.0.0.3"));
    new VornDownloadDialog(&engine);
    QPointer<QWidget> window = shownWindow("Updater_Download_MainWindow");
    QVERIFY(window);
    MessageBoxAnswerer boxes;
    bool windowShownDuringBox = true;
    boxes.setBeforeAnswer([&](const MessageBoxAnswerer::Box &) {
        windowShownDuringBox = window && window->isVisible();
    });
    QCOMPARE(runEventLoop(), 0);
    QCOMPARE(boxes.count(), 1);
    QVERIFY(!windowShownDuringBox);
    QCOMPARE(boxes.last().icon, QMessageBox::Critical);
    QCOMPARE(boxes.last().title, QStringLiteral("Update"));
    QCOMPARE(boxes.last().text, text);
}

void TestWindows::installHandsOverToTheSummary_data()
{
    QTest::addColumn<bool>("polish");
    QTest::addColumn<bool>("succeed");
    QTest::addColumn<QStringList>("texts"); // status, instruction, button
    QTest::newRow("success, English")
        << false << true
        << QStringList {"Installation complete",
                        "To complete the update process please restart Vorn instant "
                        "messenger.",
                        "Close"};
    QTest::newRow("success, Polish")
        << true << true
        << QStringList {"Aktualizacje zainstalowane pomyślnie",
                        "By zakończyć proces instalacji należy uruchomić ponownie komunikator.",
                        "Zamknij"};
    QTest::newRow("failure, English")
        << false << false
        << QStringList {"Installation failed",
                        "Please reinstall application with package from official web page",
                        "Close"};
    QTest::newRow("failure, Polish")
        << true << false
        << QStringList {"Aktualizacja nie powiodła się",
                        "Prosze pobrać i zainstalować vorn ze strony " VORN_WEB_PAGE, "Zamknij"};
}

void TestWindows::installHandsOverToTheSummary()
{
    QFETCH(bool, polish);
    QFETCH(bool, succeed);
    QFETCH(QStringList, texts);
    setPolish(polish);
    VornUpdaterEngine engine(testInstallation(), unsignedPackages(), testPrompter());
    QSignalSpy installNames(&engine, &VornUpdaterEngine::installFile);
    MessageBoxAnswerer boxes({QMessageBox::Ok, QMessageBox::Abort});
    if (succeed) {
        // No update: the download window hands over and the run succeeds at once.
        new VornDownloadDialog(&engine);
        emit engine.downloadFinished();
    } else {
        // A package that was never downloaded fails to install.
        offer(engine, request("core", "2.0", "Core", "x"));
        new VornInstallDialog(&engine);
    }

    QVERIFY(!shownWindow("Updater_Download_MainWindow"));
    QVERIFY(!shownWindow("Updater_Install_MainWindow"));
    QWidget *summary = shownWindow("Updater_Summary_MainWindow");
    QVERIFY(summary);
    QCOMPARE(summary->findChild<QLabel *>("Updater_Summary_Status")->text(), texts.at(0));
    QCOMPARE(summary->findChild<QLabel *>("Updater_Summary_Instruction")->text(), texts.at(1));
    QCOMPARE(summary->findChild<QPushButton *>("Updater_Summary_Restart")->text(), texts.at(2));
    auto *details = summary->findChild<QPlainTextEdit *>("Updater_Summary_Details");
    QCOMPARE(details->toPlainText(), engine.getLog());
    QVERIFY(details->isVisible());
    QVERIFY(details->isReadOnly());
    if (!succeed) {
        QCOMPARE(details->toPlainText(),
                 QStringLiteral("An error occured while installing updates"));
        QCOMPARE(installNames.count(), 2); // the package, then the rollback
        QCOMPARE(boxes.count(), 2);
        const QStringList buttons
            = polish ? QStringList {"Przerwij", "Ponów"} : QStringList {"Abort", "Retry"};
        QCOMPARE(boxes.last().buttonTexts, buttons);
    }
    // "View details" hides and shows the log.
    auto *view = summary->findChild<QPushButton *>("Updater_Summary_ViewDetails");
    QTest::mouseClick(view, Qt::LeftButton);
    QTRY_VERIFY(!details->isVisible());
    QTest::mouseClick(view, Qt::LeftButton);
    QTRY_VERIFY(details->isVisible());
}

void TestWindows::closeEndsTheRunWithZero_data()
{
    QTest::addColumn<bool>("byButton");
    QTest::newRow("Close") << true;
    QTest::newRow("closed by the window manager") << false;
}

void TestWindows::closeEndsTheRunWithZero()
{
    QFETCH(bool, byButton);
    VornUpdaterEngine engine(testInstallation(), unsignedPackages(), testPrompter());
    new VornSummaryDialog(&engine);
    QWidget *window = shownWindow("Updater_Summary_MainWindow");
    QVERIFY(window);
    QSignalSpy quitting(qApp, &QCoreApplication::aboutToQuit);
    if (byButton)
        QTimer::singleShot(0, window->findChild<QPushButton *>("Updater_Summary_Restart"),
                           &QPushButton::click);
    else
        closeByWindowManager(window);
    QCOMPARE(runEventLoop(), 0);
    QCOMPARE(quitting.count(), 1);
}

void TestWindows::unverifiedBodyNeverOutlivesItsRun_data()
{
    QTest::addColumn<bool>("closeWindow");
    QTest::addColumn<bool>("wholeFirst"); // a package arrives whole before the stalled one
    QTest::newRow("the host stalls past the bound") << false << false;
    QTest::newRow("the window is closed meanwhile") << true << false;
    QTest::newRow("the host stalls on the second package") << false << true;
    QTest::newRow("the window is closed during the second package") << true << true;
}

// The package host stalls after part of the body. Either the wait ends with the download error,
// or the user closes the window; nothing the run downloaded stays, and a body that a killed
// run left is removed at the next start.
void TestWindows::unverifiedBodyNeverOutlivesItsRun()
{
    QFETCH(bool, closeWindow);
    QFETCH(bool, wholeFirst);
    const QString bodies = temp.path() + QStringLiteral("/tupdates/downloading");
    MessageBoxAnswerer boxes;
    {
        const auto clock = std::make_shared<ManualClock>();
        RunSettings settings = unsignedPackages();
        settings.stallTimeoutMs = 1000;
        settings.clock = clock;
        VornUpdaterEngine engine(testInstallation(), settings, testPrompter());
        offer(engine,
              (wholeFirst ? request("a", "2.0", "A", "x") : QByteArray())
                  + request("core", "2.0", "Core", "x"));
        web->serve("/a.zip", HttpTestServer::Response::ok("a whole package"));
        web->serve("/core.zip", heldPackage());
        new VornDownloadDialog(&engine);
        QWidget *window = shownWindow("Updater_Download_MainWindow");
        QVERIFY(window);
        // Time passes, a tenth of the bound at each turn of the event loop, once bytes come.
        QTimer time;
        time.setInterval(1);
        connect(&time, &QTimer::timeout, &time, [&clock] { clock->advance(100); });
        if (closeWindow)
            connect(
                &engine, &VornUpdaterEngine::downloadProgress, window,
                [window] { closeByWindowManager(window); }, Qt::SingleShotConnection);
        else
            connect(&engine, &VornUpdaterEngine::downloadProgress, &time,
                    qOverload<>(&QTimer::start));
        QCOMPARE(runEventLoop(), 0);
        QCOMPARE(boxes.count(), closeWindow ? 0 : 1);
        if (!closeWindow)
            QCOMPARE(boxes.last().text,
                     QStringLiteral("The package server sent nothing for 1 seconds."));
    }
    QVERIFY(QDir(bodies).isEmpty());
    QVERIFY(!QFileInfo::exists(temp.path() + QStringLiteral("/tupdates/core.zip")));
    QVERIFY(!QFileInfo::exists(temp.path() + QStringLiteral("/tupdates/a.zip")));

    QVERIFY(writeFile(bodies + QStringLiteral("/0"), "left by a killed run"));
    VornUpdaterEngine engine(testInstallation(), unsignedPackages(), testPrompter());
    engine.recoverInterruptedRun();
    QVERIFY(QDir(bodies).isEmpty());
    QCOMPARE(boxes.count(), closeWindow ? 0 : 1);
}

void TestWindows::damagedFormStopsTheRun_data()
{
    QTest::addColumn<bool>("formExists");
    QTest::addColumn<QString>("missing");
    QTest::newRow("form cannot be read") << false << QString();
    QTest::newRow("child missing") << true << QStringLiteral("Updater_Test_Button");
}

void TestWindows::damagedFormStopsTheRun()
{
    QFETCH(bool, formExists);
    QFETCH(QString, missing);
    const QString path = temp.path() + QStringLiteral("/Damaged.ui");
    QFile::remove(path);
    if (formExists) {
        QVERIFY(writeFile(path,
                          "<ui version=\"4.0\"><class>Damaged</class><widget "
                          "class=\"QWidget\" name=\"Damaged\"/></ui>"));
    }
    QPointer<QObject> controller = new QObject;
    MessageBoxAnswerer boxes;
    // Inside the event loop, as a window controller runs; the run then ends with a failure.
    QTimer::singleShot(0, this, [&] {
        WindowForm form(path);
        QCOMPARE(form.window() != nullptr, formExists);
        QVERIFY(!form.child<QPushButton>("Updater_Test_Button"));
        QVERIFY(!form.isComplete());
        form.refuse(controller);
        QVERIFY(!form.window());
    });
    QCOMPARE(runEventLoop(), 1);
    QCOMPARE(boxes.count(), 1);
    QCOMPARE(boxes.last().icon, QMessageBox::Critical);
    QCOMPARE(boxes.last().text,
             QStringLiteral("The updater is damaged and cannot show its window (%1 is missing).")
                 .arg(formExists ? missing : path));
    settle();
    QVERIFY(!controller);
}

void TestWindows::formWaitsOnlyBeforeText_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("builtBefore"); // a widget already made when it waits
    QTest::newRow("text pane") << QStringLiteral(":/res/Changelog.ui")
                               << QStringLiteral("Updater_Changelog_DownloadLater");
    QTest::newRow("no text pane") << QStringLiteral(":/res/Download.ui")
                                  << QStringLiteral("Updater_Download_MainWindow");
    QTest::newRow("form cannot be read") << QStringLiteral(":/res/Missing.ui") << QString();
}

void TestWindows::formWaitsOnlyBeforeText()
{
    QFETCH(QString, path);
    QFETCH(QString, builtBefore);
    int waits = 0;
    bool built = false;
    bool textPaneMade = false;
    {
        WindowForm form(path, [&] {
            ++waits;
            const QWidgetList widgets = QApplication::allWidgets();
            for (QWidget *widget : widgets) {
                textPaneMade = textPaneMade || qobject_cast<QPlainTextEdit *>(widget);
                built = built || widget->objectName() == builtBefore;
            }
        });
        delete form.window();
    }
    QCOMPARE(waits, 1);
    QVERIFY(!textPaneMade);
    QCOMPARE(built, !builtBefore.isEmpty());
}

QTEST_MAIN(TestWindows)
#include "tst_windows.moc"
