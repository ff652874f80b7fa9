#include "vornconfig.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QRegularExpression>
#include <QTranslator>
#include <QXmlStreamReader>
#include <QtTest>

namespace {

const char catalogue[] = VORN_CATALOGUE;

// The rows of Polish texts check the Polish catalogue; a build in another language is held to
// the rule that every language keeps.
bool isPolish()
{
    return QLatin1String(VORN_LANGUAGE) == QLatin1String("pl_PL");
}

QString webPage()
{
    return QString::fromUtf8(VORN_WEB_PAGE);
}

// Installed for the lifetime of one test function, the way the entry point installs it.
class InstalledCatalogue
{
public:
    InstalledCatalogue()
    {
        loaded = translator.load(QString::fromLatin1(catalogue))
            && QCoreApplication::installTranslator(&translator);
    }
    ~InstalledCatalogue() { QCoreApplication::removeTranslator(&translator); }

    QTranslator translator;
    bool loaded = false;
};

} // namespace

class TestCatalogue : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void loadsInItsLanguage();
    void translatesWithCatalogue_data();
    void translatesWithCatalogue();
    void webPageEndsTexts_data();
    void webPageEndsTexts();
    void everyTextHasItsRow_data();
    void everyTextHasItsRow();

private:
    void addRows();
};

void TestCatalogue::initTestCase()
{
    Q_INIT_RESOURCE(updater);
}

void TestCatalogue::loadsInItsLanguage()
{
    QTranslator translator;
    QVERIFY(translator.load(QString::fromLatin1(catalogue)));
    QCOMPARE(translator.language(), QStringLiteral(VORN_LANGUAGE));
    QVERIFY(!translator.isEmpty());
}

// Every lookup the updater makes: context, source text and the comment that is passed.
void TestCatalogue::addRows()
{
    QTest::addColumn<QByteArray>("context");
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<QByteArray>("comment");
    QTest::addColumn<QString>("polish");

    const auto row = [](const char *name, const char *context, const char *source,
                        const char *comment, const QString &polish) {
        QTest::newRow(name) << QByteArray(context) << QByteArray(source) << QByteArray(comment)
                            << polish;
    };
    const auto pl = [](const char *text) { return QString::fromUtf8(text); };
    // Rows without a translation keep their English source text.
    const auto english = [](const char *text) { return QString::fromUtf8(text); };

    row("title, program update", "translation", "Update", "program update", pl("Aktualizuj"));
    row("title, nc", "translation", "Update", "nc", pl("Aktualizuj"));
    row("title, no comment", "translation", "Update", "", pl("Aktualizuj"));
    row("no updates", "translation", "No updates available.", "nc",
        pl("Brak nowych aktualizacji."));
    row("symlinks", "translation", "Detected symlinks to qt library. Aborting updater!", "nc",
        pl("Wykryto dowiązania symboliczne do biblioteki Qt. Aktualizacja przerwana!"));
    row("check updates", "translation", "Check updates", "nc", pl("Sprawdź aktualizacje"));
    row("cannot connect", "translation",
        "Couldn't connect to update server. Check your internet connection.", "nc",
        pl("Nie można nawiązać połączenie z serwerem aktualizacji. Sprawdź swoje połączenie "
           "internetowe."));
    row("communication error", "translation",
        "An error occured while comunicating update server. Check your internet connection.", "nc",
        pl("Wystąpił błąd podczas komunikacji z serwerem aktualizacji. Sprawdź swoje połączenie "
           "internetowe."));
    row("installing package, log comment", "translation",
        "Installing package %1:", "status information about currently installed package",
        pl("Zainstalowano pakiet %1:"));
    row("installing package, no comment", "translation", "Installing package %1:", "",
        pl("Zainstalowano pakiet %1:"));
    row("failed package keeps its trailing blank", "translation", "Failed installing package ",
        "nc", pl("Błąd podczas instalowania paczki "));
    row("rollback, rollback comment", "translation", "Rollback update",
        "restoring application to state before installing update", pl("Cofanie akutalizacji"));
    row("rollback, no comment", "translation", "Rollback update", "", pl("Cofanie akutalizacji"));
    row("rollback failed", "translation",
        "An error occured while rolling back update progress. Software may not work properly. "
        "Try reinstalling whole application",
        "nc",
        pl("Wystąpił bład podczas cofania procesu aktualizacji. Oprogramowanie może nie działać "
           "poprawnie. Zalecamy ręczną instalację najnowszej wersji komunikatora Vorn ze strony ")
            + webPage());
    row("cannot run", "translation", "Cannot run update!", "nc",
        pl("Nie można przeprowadzić aktualizacji!"));
    row("cannot open archive", "translation", "Unable to open update archive", "nc",
        pl("Nie udało się zaktualizować archiwum"));
    row("cannot read stays English", "translation", "Cannot read file from archive!", "nc",
        english("Cannot read file from archive!"));
    row("wrong project stays English", "translation", "Wrong project!", "nc",
        english("Wrong project!"));
    row("wrong name stays English", "translation", "Wrong name!", "nc", english("Wrong name!"));
    row("wrong type stays English", "translation", "Wrong type!", "nc", english("Wrong type!"));
    row("cannot extract stays English", "translation", "Cannot extract update file (%1)!", "nc",
        english("Cannot extract update file (%1)!"));
    row("cannot create stays English", "translation", "Cannot create file %1 (%2)", "nc",
        english("Cannot create file %1 (%2)"));
    row("cannot copy stays English", "translation", "Cannot copy file %1 to %2!", "nc",
        english("Cannot copy file %1 to %2!"));
    row("show changelog", "translation", "Show changelog", "nc", pl("Pokaż listę zmian"));
    row("hide changelog", "translation", "Hide changelog", "nc", pl("Ukryj listę zmian"));
    row("installation failed", "translation", "Installation failed", "nc",
        pl("Aktualizacja nie powiodła się"));
    row("reinstall", "translation",
        "Please reinstall application with package from official web page", "nc",
        pl("Prosze pobrać i zainstalować vorn ze strony ") + webPage());

    row("download dialog title has no row", "VornDownloadDialog", "Update", "", english("Update"));
    row("download dialog title has no row, nc", "VornDownloadDialog", "Update", "nc",
        english("Update"));

    row("offer form title", "Updater_Changelog_MainWindow", "Update", "", pl("Aktualizuj"));
    row("offer form header", "Updater_Changelog_MainWindow", "Vorn IM update", "",
        pl("Aktualizacja komunikatora Vorn"));
    row("offer form question", "Updater_Changelog_MainWindow",
        "Vorn instant messenger update is available. Do you wish to download it now?", "",
        pl("Są dostępne aktualizacje dla komunikatora Vorn. Czy chcesz pobrać je teraz?"));
    row("offer form show changelog", "Updater_Changelog_MainWindow", "Show changelog", "",
        pl("Pokaż listę zmian"));
    row("offer form download now", "Updater_Changelog_MainWindow", "Download now", "",
        pl("Pobierz teraz"));
    row("offer form download later", "Updater_Changelog_MainWindow", "Download later", "",
        pl("Pobierz później"));
    row("download form title", "Updater_Download_MainWindow", "Update", "", pl("Aktualizuj"));
    row("download form header", "Updater_Download_MainWindow", "Vorn IM update", "",
        pl("Aktualizacja komunikatora Vorn"));
    row("download form progress", "Updater_Download_MainWindow", "Downloading...", "",
        pl("Pobieranie..."));
    row("download form cancel", "Updater_Download_MainWindow", "Cancel", "", pl("Anuluj"));
    row("install form title", "Updater_Install_MainWindow", "Update", "", pl("Aktualizuj"));
    row("install form header", "Updater_Install_MainWindow", "Vorn IM update", "",
        pl("Aktualizacja komunikatora Vorn"));
    row("install form progress", "Updater_Install_MainWindow", "Installing...", "",
        pl("Instalacja..."));
    row("summary form title", "Updater_Summary_MainWindow", "Update", "", pl("Aktualizuj"));
    row("summary form status", "Updater_Summary_MainWindow", "Installation complete", "",
        pl("Aktualizacje zainstalowane pomyślnie"));
    row("summary form instruction", "Updater_Summary_MainWindow",
        "To complete the update process please restart Vorn instant messenger.", "",
        pl("By zakończyć proces instalacji należy uruchomić ponownie komunikator."));
    row("summary form view details", "Updater_Summary_MainWindow", "View details", "",
        pl("Pokaż szczegóły"));
    row("summary form close", "Updater_Summary_MainWindow", "Close", "", pl("Zamknij"));
}

void TestCatalogue::translatesWithCatalogue_data()
{
    if (!isPolish())
        QSKIP("The rows hold Polish texts");
    addRows();
}

void TestCatalogue::translatesWithCatalogue()
{
    QFETCH(QByteArray, context);
    QFETCH(QByteArray, source);
    QFETCH(QByteArray, comment);
    QFETCH(QString, polish);

    InstalledCatalogue installed;
    QVERIFY(installed.loaded);
    QCOMPARE(
        QCoreApplication::translate(context.constData(), source.constData(), comment.constData()),
        polish);
}

void TestCatalogue::webPageEndsTexts_data()
{
    if (!isPolish())
        QSKIP("The rows hold Polish texts");
    QTest::addColumn<QByteArray>("source");

    QTest::newRow("rollback failed")
        << QByteArray("An error occured while rolling back update progress. Software may not work "
                      "properly. Try reinstalling whole application");
    QTest::newRow("reinstall") << QByteArray(
        "Please reinstall application with package from official web page");
}

void TestCatalogue::webPageEndsTexts()
{
    QFETCH(QByteArray, source);

    InstalledCatalogue installed;
    QVERIFY(installed.loaded);
    QVERIFY(!webPage().isEmpty());
    const QString text = QCoreApplication::translate("translation", source.constData(), "nc");
    QVERIFY2(text.endsWith(QStringLiteral("ze strony ") + webPage()), qPrintable(text));
}

void TestCatalogue::everyTextHasItsRow_data()
{
    QTest::addColumn<QString>("source"); // the catalogue as translators write it
    QTest::addColumn<QString>("compiled");
    QTest::newRow(VORN_LANGUAGE) << QStringLiteral(VORN_SOURCE_DIR
                                                   "/src/languages/vorn_" VORN_LANGUAGE ".ts")
                                 << QString::fromLatin1(catalogue);
}

// The rule for every language: each text the code looks up has its row, the compiled catalogue
// gives each row's translation, and a translation keeps its text's placeholders. A row left
// unfinished keeps its English text, as some must.
void TestCatalogue::everyTextHasItsRow()
{
    QFETCH(QString, source);
    QFETCH(QString, compiled);
    QFile file(source);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QTranslator translator;
    QVERIFY(translator.load(compiled));
    QStringList sources;
    QXmlStreamReader xml(&file);
    QString context;
    QString text;
    QString comment;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == u"name") {
            context = xml.readElementText();
        } else if (xml.name() == u"source") {
            text = xml.readElementText();
            comment.clear();
        } else if (xml.name() == u"comment") {
            comment = xml.readElementText();
        } else if (xml.name() == u"translation") {
            const bool unfinished = xml.attributes().value(QLatin1String("type")) == u"unfinished";
            const QString translation
                = xml.readElementText().replace(QStringLiteral("@VORN_WEB_PAGE@"), webPage());
            sources << text;
            static const QRegularExpression placeholder(QStringLiteral("%[1-9]"));
            QStringList inSource;
            QStringList inTranslation;
            for (const auto &match : placeholder.globalMatch(text))
                inSource << match.captured();
            for (const auto &match : placeholder.globalMatch(translation))
                inTranslation << match.captured();
            inSource.sort();
            inTranslation.sort();
            QVERIFY2(unfinished || inSource == inTranslation, qPrintable(text));
            QCOMPARE(translator.translate(context.toUtf8().constData(), text.toUtf8().constData(),
                                          comment.toUtf8().constData()),
                     unfinished ? QString() : translation);
        }
    }
    QVERIFY(!xml.hasError());
    // Every text of the updater's code, as it passes it to translated().
    QDirIterator code(QStringLiteral(VORN_SOURCE_DIR "/src"), {QStringLiteral("*.cpp")},
                      QDir::Files, QDirIterator::Subdirectories);
    static const QRegularExpression lookup(
        QStringLiteral("translated\\(((?:\\s*\"(?:[^\"\\\\]|\\\\.)*\")+)"));
    static const QRegularExpression piece(QStringLiteral("\"((?:[^\"\\\\]|\\\\.)*)\""));
    while (code.hasNext()) {
        QFile unit(code.next());
        QVERIFY(unit.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(unit.readAll());
        for (const auto &call : lookup.globalMatch(text)) {
            QString looked;
            for (const auto &part : piece.globalMatch(call.captured(1)))
                looked += part.captured(1);
            looked.replace(QStringLiteral("\\\""), QStringLiteral("\""));
            QVERIFY2(sources.contains(looked), qPrintable(code.fileName() + ": " + looked));
        }
    }
}

QTEST_GUILESS_MAIN(TestCatalogue)
#include "tst_catalogue.moc"
