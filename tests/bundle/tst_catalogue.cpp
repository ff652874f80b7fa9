#include "vornconfig.h"

#include <QCoreApplication>
#include <QTranslator>
#include <QtTest>

namespace {

const char catalogue[] = ":/languages/vorn_pl_PL.qm";

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

    void loadsAsPolish();
    void translatesWithCatalogue_data();
    void translatesWithCatalogue();
    void webPageEndsTexts_data();
    void webPageEndsTexts();

private:
    void addRows();
};

void TestCatalogue::initTestCase()
{
    Q_INIT_RESOURCE(updater);
}

void TestCatalogue::loadsAsPolish()
{
    QTranslator translator;
    QVERIFY(translator.load(QString::fromLatin1(catalogue)));
    QCOMPARE(translator.language(), QStringLiteral("pl_PL"));
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

    // Texts of our own beyond the original set.
    row("damaged window", "translation",
        "The updater is damaged and cannot show its window (%1 is missing).", "nc",
        pl("Aktualizator jest uszkodzony i nie może wyświetlić okna (brak %1)."));
    row("address leaves download directory", "translation",
        "Refusing to store package %1: its address leaves the download directory.", "nc",
        pl("Odmowa zapisania pakietu %1: jego adres wskazuje poza katalog pobierania."));
    row("interrupted update undone", "translation", "An interrupted update was undone.", "nc",
        pl("Przerwana aktualizacja została cofnięta."));
    row("journal", "translation", "Cannot write installation journal %1!", "nc",
        pl("Nie można zapisać dziennika instalacji %1!"));
    row("authenticity 1", "translation", "The update server sent a malformed %1 for package %2.",
        "nc", pl("Serwer aktualizacji przysłał błędną wartość %1 dla pakietu %2."));
    row("authenticity 2", "translation", "Package %1 is not signed, so it will not be installed.",
        "nc", pl("Pakiet %1 nie jest podpisany, więc nie zostanie zainstalowany."));
    row("authenticity 3", "translation",
        "Package %1 does not have the size announced by the update server (%2 bytes).", "nc",
        pl("Pakiet %1 nie ma rozmiaru zapowiedzianego przez serwer aktualizacji (bajtów: %2)."));
    row("authenticity 4", "translation",
        "Package %1 does not match the checksum announced by the update server: it was damaged or "
        "altered on the way, so it will not be installed.",
        "nc",
        pl("Pakiet %1 nie zgadza się z sumą kontrolną podaną przez serwer aktualizacji: został "
           "uszkodzony lub zmieniony po drodze, więc nie zostanie zainstalowany."));
    row("authenticity 5", "translation",
        "The signature of package %1 is not valid: the package was altered or not released by its "
        "publisher, so it will not be installed.",
        "nc",
        pl("Podpis pakietu %1 jest nieprawidłowy: pakiet został zmieniony albo nie pochodzi od "
           "wydawcy, więc nie zostanie zainstalowany."));
    row("not newer", "translation",
        "Package %1 is offered as version %2, which is not newer than the installed version %3, "
        "so it will not be installed.",
        "nc",
        pl("Pakiet %1 jest oferowany w wersji %2, która nie jest nowsza od zainstalowanej wersji "
           "%3, więc nie zostanie zainstalowany."));
    row("name refused", "translation",
        "The update server named a component \"%1\", which cannot be used as a name, so no "
        "update is downloaded.",
        "nc",
        pl("Serwer aktualizacji podał składnik „%1”, którego nazwy nie można użyć, więc żadna "
           "aktualizacja nie zostanie pobrana."));
    row("stalled", "translation", "The package server sent nothing for %1 seconds.", "nc",
        pl("Serwer pakietów nie przesłał niczego przez %1 s."));
    row("authenticity 7", "translation",
        "The download directory %1 is a symbolic link or not a directory, so no update is "
        "downloaded.",
        "nc",
        pl("Katalog pobierania %1 jest dowiązaniem symbolicznym lub nie jest katalogiem, więc "
           "żadna aktualizacja nie zostanie pobrana."));
    row("authenticity 8", "translation",
        "The download directory %1 cannot be used (%2), so no update is downloaded.", "nc",
        pl("Nie można użyć katalogu pobierania %1 (%2), więc żadna aktualizacja nie zostanie "
           "pobrana."));
    row("authenticity 9", "translation",
        "The download directory %1 belongs to another user, so no update is downloaded.", "nc",
        pl("Katalog pobierania %1 należy do innego użytkownika, więc żadna aktualizacja nie "
           "zostanie pobrana."));
    row("authenticity 10", "translation",
        "Other users can write to the download directory %1, so no update is downloaded.", "nc",
        pl("Inni użytkownicy mogą zapisywać w katalogu pobierania %1, więc żadna aktualizacja nie "
           "zostanie pobrana."));
    row("authenticity 11", "translation",
        "Refusing to store package %1: a symbolic link stands in its place in the download "
        "directory.",
        "nc",
        pl("Odmowa zapisania pakietu %1: w jego miejscu w katalogu pobierania znajduje się "
           "dowiązanie symboliczne."));
    row("download status", "translation", "Download of %1 failed: HTTP %2", "nc",
        pl("Pobieranie pakietu %1 nie powiodło się: HTTP %2"));
    row("download, no valid response", "translation", "The server sent no valid response.", "nc",
        pl("Serwer nie wysłał poprawnej odpowiedzi."));
    row("download, closed early", "translation", "The connection closed after %1 of %2 bytes.",
        "nc", pl("Połączenie zostało zamknięte po %1 z %2 bajtów."));
    row("download, refused", "translation", "The package server refused the connection.", "nc",
        pl("Serwer pakietów odrzucił połączenie."));
    row("download, host not found", "translation",
        "The package server was not found. Check your internet connection.", "nc",
        pl("Nie znaleziono serwera pakietów. Sprawdź swoje połączenie internetowe."));

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

QTEST_GUILESS_MAIN(TestCatalogue)
#include "tst_catalogue.moc"
