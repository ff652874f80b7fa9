<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="pl_PL">
<context>
    <name>Updater_Changelog_MainWindow</name>
    <message>
        <source>Update</source>
        <translation>Aktualizuj</translation>
    </message>
    <message>
        <source>Vorn IM update</source>
        <translation>Aktualizacja komunikatora Vorn</translation>
    </message>
    <message>
        <source>Vorn instant messenger update is available. Do you wish to download it now?</source>
        <translation>Są dostępne aktualizacje dla komunikatora Vorn. Czy chcesz pobrać je teraz?</translation>
    </message>
    <message>
        <source>Show changelog</source>
        <translation>Pokaż listę zmian</translation>
    </message>
    <message>
        <source>Download now</source>
        <translation>Pobierz teraz</translation>
    </message>
    <message>
        <source>Download later</source>
        <translation>Pobierz później</translation>
    </message>
</context>
<context>
    <name>Updater_Download_MainWindow</name>
    <message>
        <source>Update</source>
        <translation>Aktualizuj</translation>
    </message>
    <message>
        <source>Vorn IM update</source>
        <translation>Aktualizacja komunikatora Vorn</translation>
    </message>
    <message>
        <source>Downloading...</source>
        <translation>Pobieranie...</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Anuluj</translation>
    </message>
</context>
<context>
    <name>Updater_Install_MainWindow</name>
    <message>
        <source>Update</source>
        <translation>Aktualizuj</translation>
    </message>
    <message>
        <source>Vorn IM update</source>
        <translation>Aktualizacja komunikatora Vorn</translation>
    </message>
    <message>
        <source>Installing...</source>
        <translation>Instalacja...</translation>
    </message>
</context>
<context>
    <name>Updater_Summary_MainWindow</name>
    <message>
        <source>Update</source>
        <translation>Aktualizuj</translation>
    </message>
    <message>
        <source>Installation complete</source>
        <translation>Aktualizacje zainstalowane pomyślnie</translation>
    </message>
    <message>
        <source>To complete the update process please restart Vorn instant messenger.</source>
        <translation>By zakończyć proces instalacji należy uruchomić ponownie komunikator.</translation>
    </message>
    <message>
        <source>View details</source>
        <translation>Pokaż szczegóły</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Zamknij</translation>
    </message>
</context>
<context>
    <name>translation</name>
    <message>
        <source>Update</source>
        <translation>Aktualizuj</translation>
    </message>
    <message>
        <source>Update</source>
        <translation>Aktualizuj</translation>
    </message>
    <message>
        <source>Update</source>
        <comment>program update</comment>
        <translation>Aktualizuj</translation>
    </message>
    <message>
        <source>No updates available.</source>
        <translation>Brak nowych aktualizacji.</translation>
    </message>
    <message>
        <source>Detected symlinks to qt library. Aborting updater!</source>
        <translation>Wykryto dowiązania symboliczne do biblioteki Qt. Aktualizacja przerwana!</translation>
    </message>
    <message>
        <source>Check updates</source>
        <translation>Sprawdź aktualizacje</translation>
    </message>
    <message>
        <source>Couldn't connect to update server. Check your internet connection.</source>
        <translation>Nie można nawiązać połączenie z serwerem aktualizacji. Sprawdź swoje połączenie internetowe.</translation>
    </message>
    <message>
        <source>An error occured while comunicating update server. Check your internet connection.</source>
        <translation>Wystąpił błąd podczas komunikacji z serwerem aktualizacji. Sprawdź swoje połączenie internetowe.</translation>
    </message>
    <message>
        <source>Installing package %1:</source>
        <translation>Zainstalowano pakiet %1:</translation>
    </message>
    <message>
        <source>Failed installing package </source>
        <translation>Błąd podczas instalowania paczki </translation>
    </message>
    <message>
        <source>Rollback update</source>
        <translation>Cofanie akutalizacji</translation>
    </message>
    <message>
        <source>An error occured while rolling back update progress. Software may not work properly. Try reinstalling whole application</source>
        <translation>Wystąpił bład podczas cofania procesu aktualizacji. Oprogramowanie może nie działać poprawnie. Zalecamy ręczną instalację najnowszej wersji komunikatora Vorn ze strony @VORN_WEB_PAGE@</translation>
    </message>
    <message>
        <source>Cannot run update!</source>
        <translation>Nie można przeprowadzić aktualizacji!</translation>
    </message>
    <message>
        <source>Unable to open update archive</source>
        <translation>Nie udało się zaktualizować archiwum</translation>
    </message>
    <message>
        <source>The updater is damaged and cannot show its window (%1 is missing).</source>
        <translation>Aktualizator jest uszkodzony i nie może wyświetlić okna (brak %1).</translation>
    </message>
    <message>
        <source>Refusing to store package %1: its address leaves the download directory.</source>
        <translation>Odmowa zapisania pakietu %1: jego adres wskazuje poza katalog pobierania.</translation>
    </message>
    <message>
        <source>Download of %1 failed: HTTP %2</source>
        <translation>Pobieranie pakietu %1 nie powiodło się: HTTP %2</translation>
    </message>
    <message>
        <source>An interrupted update was undone.</source>
        <translation>Przerwana aktualizacja została cofnięta.</translation>
    </message>
    <message>
        <source>Cannot write installation journal %1!</source>
        <translation>Nie można zapisać dziennika instalacji %1!</translation>
    </message>
    <message>
        <source>The update server sent a malformed %1 for package %2.</source>
        <translation>Serwer aktualizacji przysłał błędną wartość %1 dla pakietu %2.</translation>
    </message>
    <message>
        <source>Package %1 is not signed, so it will not be installed.</source>
        <translation>Pakiet %1 nie jest podpisany, więc nie zostanie zainstalowany.</translation>
    </message>
    <message>
        <source>Package %1 does not have the size announced by the update server (%2 bytes).</source>
        <translation>Pakiet %1 nie ma rozmiaru zapowiedzianego przez serwer aktualizacji (bajtów: %2).</translation>
    </message>
    <message>
        <source>Package %1 does not match the checksum announced by the update server: it was damaged or altered on the way, so it will not be installed.</source>
        <translation>Pakiet %1 nie zgadza się z sumą kontrolną podaną przez serwer aktualizacji: został uszkodzony lub zmieniony po drodze, więc nie zostanie zainstalowany.</translation>
    </message>
    <message>
        <source>The signature of package %1 is not valid: the package was altered or not released by its publisher, so it will not be installed.</source>
        <translation>Podpis pakietu %1 jest nieprawidłowy: pakiet został zmieniony albo nie pochodzi od wydawcy, więc nie zostanie zainstalowany.</translation>
    </message>
    <message>
        <source>The download directory %1 is a symbolic link or not a directory, so no update is downloaded.</source>
        <translation>Katalog pobierania %1 jest dowiązaniem symbolicznym lub nie jest katalogiem, więc żadna aktualizacja nie zostanie pobrana.</translation>
    </message>
    <message>
        <source>The download directory %1 cannot be used (%2), so no update is downloaded.</source>
        <translation>Nie można użyć katalogu pobierania %1 (%2), więc żadna aktualizacja nie zostanie pobrana.</translation>
    </message>
    <message>
        <source>The download directory %1 belongs to another user, so no update is downloaded.</source>
        <translation>Katalog pobierania %1 należy do innego użytkownika, więc żadna aktualizacja nie zostanie pobrana.</translation>
    </message>
    <message>
        <source>Other users can write to the download directory %1, so no update is downloaded.</source>
        <translation>Inni użytkownicy mogą zapisywać w katalogu pobierania %1, więc żadna aktualizacja nie zostanie pobrana.</translation>
    </message>
    <message>
        <source>Refusing to store package %1: a symbolic link stands in its place in the download directory.</source>
        <translation>Odmowa zapisania pakietu %1: w jego miejscu w katalogu pobierania znajduje się dowiązanie symboliczne.</translation>
    </message>
    <message>
        <source>Cannot read file from archive!</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Wrong project!</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Wrong name!</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Wrong type!</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cannot extract update file (%1)!</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cannot create file %1 (%2)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cannot copy file %1 to %2!</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Show changelog</source>
        <translation>Pokaż listę zmian</translation>
    </message>
    <message>
        <source>Hide changelog</source>
        <translation>Ukryj listę zmian</translation>
    </message>
    <message>
        <source>Installation failed</source>
        <translation>Aktualizacja nie powiodła się</translation>
    </message>
    <message>
        <source>Please reinstall application with package from official web page</source>
        <translation>Prosze pobrać i zainstalować vorn ze strony @VORN_WEB_PAGE@</translation>
    </message>
    <message>
        <source>Unknown error</source>
        <translation>Nieznany błąd</translation>
    </message>
    <message>
        <source>Request aborted</source>
        <translation>Żądanie przerwane</translation>
    </message>
    <message>
        <source>The server sent no valid response.</source>
        <translation>Serwer nie wysłał poprawnej odpowiedzi.</translation>
    </message>
    <message>
        <source>The connection closed after %1 of %2 bytes.</source>
        <translation>Połączenie zostało zamknięte po %1 z %2 bajtów.</translation>
    </message>
    <message>
        <source>The device receiving the body is gone.</source>
        <translation>Plik odbierający dane już nie istnieje.</translation>
    </message>
    <message>
        <source>The package server refused the connection.</source>
        <translation>Serwer pakietów odrzucił połączenie.</translation>
    </message>
    <message>
        <source>The package server closed the connection early.</source>
        <translation>Serwer pakietów przedwcześnie zamknął połączenie.</translation>
    </message>
    <message>
        <source>The package server was not found. Check your internet connection.</source>
        <translation>Nie znaleziono serwera pakietów. Sprawdź swoje połączenie internetowe.</translation>
    </message>
    <message>
        <source>The package server did not answer in time.</source>
        <translation>Serwer pakietów nie odpowiedział na czas.</translation>
    </message>
    <message>
        <source>An interrupted update could not be undone completely, so no update is downloaded. Start the updater again to retry.</source>
        <translation>Przerwanej aktualizacji nie udało się w pełni cofnąć, więc żadna aktualizacja nie zostanie pobrana. Uruchom aktualizator ponownie, aby spróbować jeszcze raz.</translation>
    </message>
    <message>
        <source>Package %1 cannot be stored in the download directory (%2).</source>
        <translation>Nie można zapisać pakietu %1 w katalogu pobierania (%2).</translation>
    </message>
    <message>
        <source>Package %1 is offered as version %2, which is not newer than the installed version %3, so it will not be installed.</source>
        <translation>Pakiet %1 jest oferowany w wersji %2, która nie jest nowsza od zainstalowanej wersji %3, więc nie zostanie zainstalowany.</translation>
    </message>
    <message>
        <source>Another update of the messenger is running.</source>
        <translation>Trwa już inna aktualizacja komunikatora.</translation>
    </message>
    <message>
        <source>The updater cannot lock %1 (%2), so nothing is updated.</source>
        <translation>Aktualizator nie może zablokować %1 (%2), więc nic nie zostanie zaktualizowane.</translation>
    </message>
    <message>
        <source>it is not a plain file</source>
        <translation>to nie jest zwykły plik</translation>
    </message>
    <message>
        <source>The update server offered package %1 more than once, so no update is downloaded.</source>
        <translation>Serwer aktualizacji zaoferował pakiet %1 więcej niż raz, więc żadna aktualizacja nie zostanie pobrana.</translation>
    </message>
    <message>
        <source>Download of %1 failed: it did not end within the %2 seconds allowed for its size.</source>
        <translation>Pobieranie pakietu %1 nie powiodło się: nie zakończyło się w ciągu %2 s przewidzianych dla jego rozmiaru.</translation>
    </message>
    <message>
        <source>Package %1 is offered as version &quot;%2&quot;, which cannot be compared with the installed version &quot;%3&quot;, so it will not be installed.</source>
        <translation>Pakiet %1 jest oferowany w wersji „%2”, której nie można porównać z zainstalowaną wersją „%3”, więc nie zostanie zainstalowany.</translation>
    </message>
    <message>
        <source>Refusing to store package %1: its address names a place where the updater keeps its own files.</source>
        <translation>Odmowa zapisania pakietu %1: jego adres wskazuje miejsce, w którym aktualizator przechowuje własne pliki.</translation>
    </message>
    <message>
        <source>The download directory %1 cannot be emptied (%2), so no update is downloaded.</source>
        <translation>Nie można opróżnić katalogu pobierania %1 (%2), więc żadna aktualizacja nie zostanie pobrana.</translation>
    </message>
    <message>
        <source>The package server sent nothing for %1 seconds.</source>
        <translation>Serwer pakietów nie przesłał niczego przez %1 s.</translation>
    </message>
    <message>
        <source>The update server did not send the size and checksum of package %1, which its signature covers, so it will not be installed.</source>
        <translation>Serwer aktualizacji nie przesłał rozmiaru i sumy kontrolnej pakietu %1, które obejmuje jego podpis, więc nie zostanie on zainstalowany.</translation>
    </message>
    <message>
        <source>The update server named a component &quot;%1&quot;, which cannot be used as a name, so no update is downloaded.</source>
        <translation>Serwer aktualizacji podał składnik „%1”, którego nazwy nie można użyć, więc żadna aktualizacja nie zostanie pobrana.</translation>
    </message>
    <message>
        <source>Package %1 holds more than %2 files, so it is not unpacked.</source>
        <translation>Pakiet %1 zawiera więcej niż %2 plików, więc nie zostanie rozpakowany.</translation>
    </message>
    <message>
        <source>Package %1 would unpack to %2 MB, more than a package may, so it is not unpacked.</source>
        <translation>Pakiet %1 po rozpakowaniu zająłby %2 MB, więcej niż wolno pakietowi, więc nie zostanie rozpakowany.</translation>
    </message>
    <message>
        <source>Package %1 is damaged: its files overlap in the archive, so it is not unpacked.</source>
        <translation>Pakiet %1 jest uszkodzony: jego pliki nakładają się w archiwum, więc nie zostanie rozpakowany.</translation>
    </message>
    <message>
        <source>Package %1 needs %2 MB to unpack, but the download directory %3 has room for %4 MB, so it is not unpacked.</source>
        <translation>Pakiet %1 potrzebuje %2 MB do rozpakowania, ale katalog pobierania %3 ma miejsce tylko na %4 MB, więc nie zostanie rozpakowany.</translation>
    </message>
    <message>
        <source>Cannot change %1: a symbolic link stands in its way, so the package is not installed.</source>
        <translation>Nie można zmienić %1: na drodze do niego stoi dowiązanie symboliczne, więc pakiet nie zostanie zainstalowany.</translation>
    </message>
    <message>
        <source>The package server resumed the download at the wrong place.</source>
        <translation>Serwer pakietów wznowił pobieranie w niewłaściwym miejscu.</translation>
    </message>
    <message>
        <source>The proxy server %1 did not pass the download on: %2</source>
        <translation>Serwer pośredniczący %1 nie przekazał pobierania: %2</translation>
    </message>
    <message>
        <source>Package %1 holds no manifest, so it cannot be installed.</source>
        <translation>Pakiet %1 nie zawiera manifestu, więc nie można go zainstalować.</translation>
    </message>
    <message>
        <source>The manifest of package %1 is damaged, so it cannot be installed.</source>
        <translation>Manifest pakietu %1 jest uszkodzony, więc nie można go zainstalować.</translation>
    </message>
    <message>
        <source>Package %1 is larger than the %2 bytes the updater downloads, so it will not be installed.</source>
        <translation>Pakiet %1 jest większy niż %2 bajtów, które pobiera aktualizator, więc nie zostanie zainstalowany.</translation>
    </message>
    <message>
        <source>The download directory %1 has room for %2 MB, but the updates need %3 MB, so no update is downloaded.</source>
        <translation>W katalogu pobierania %1 jest miejsce na %2 MB, a aktualizacje wymagają %3 MB, więc żadna aktualizacja nie zostanie pobrana.</translation>
    </message>
</context>
<context>
    <!-- The buttons of the message boxes, which Qt labels itself. -->
    <name>QPlatformTheme</name>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Anuluj</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Zamknij</translation>
    </message>
    <message>
        <source>Abort</source>
        <translation>Przerwij</translation>
    </message>
    <message>
        <source>Retry</source>
        <translation>Ponów</translation>
    </message>
</context>
</TS>
