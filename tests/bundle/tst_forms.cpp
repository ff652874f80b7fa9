#include <QAbstractButton>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QTranslator>
#include <QUiLoader>
#include <QtTest>

#include <algorithm>
#include <memory>

namespace {

const QString changelogForm = QStringLiteral(":/res/Changelog.ui");
const QString downloadForm = QStringLiteral(":/res/Download.ui");
const QString installForm = QStringLiteral(":/res/Install.ui");
const QString summaryForm = QStringLiteral(":/res/Summary.ui");

// Builds a window from a form the way the window controllers do, and shows it.
std::unique_ptr<QWidget> showForm(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return nullptr;
    QUiLoader loader;
    std::unique_ptr<QWidget> window(loader.load(&file, nullptr));
    if (window) {
        window->show();
        if (!QTest::qWaitForWindowExposed(window.get()))
            window.reset();
    }
    return window;
}

// What a person reads in a window: its title, then the text of every visible label and button
// in the order the form lays them out.
QStringList visibleTexts(const QWidget &window)
{
    QStringList texts {window.windowTitle()};
    for (const QWidget *widget : window.findChildren<QWidget *>()) {
        if (!widget->isVisible())
            continue;
        QString text;
        if (const auto *label = qobject_cast<const QLabel *>(widget))
            text = label->text();
        else if (const auto *button = qobject_cast<const QAbstractButton *>(widget))
            text = button->text();
        if (!text.isEmpty())
            texts << text;
    }
    return texts;
}

class InstalledCatalogue
{
public:
    InstalledCatalogue()
    {
        loaded = translator.load(QStringLiteral(":/languages/vorn_pl_PL.qm"))
            && QCoreApplication::installTranslator(&translator);
    }
    ~InstalledCatalogue() { QCoreApplication::removeTranslator(&translator); }

    QTranslator translator;
    bool loaded = false;
};

} // namespace

// The windows as a person sees them once they are shown.
class TestForms : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void textsInBothLanguages_data();
    void textsInBothLanguages();
    void widthIsFixed_data();
    void widthIsFixed();
    void headerShowsTheIcon_data();
    void headerShowsTheIcon();
    void typingLeavesPanesAlone_data();
    void typingLeavesPanesAlone();
    void progressStartsAtZero_data();
    void progressStartsAtZero();
};

void TestForms::initTestCase()
{
    Q_INIT_RESOURCE(updater);
}

void TestForms::textsInBothLanguages_data()
{
    QTest::addColumn<QString>("form");
    QTest::addColumn<QStringList>("english");
    QTest::addColumn<QStringList>("polish");

    const auto pl = [](const char *s) { return QString::fromUtf8(s); };

    QTest::newRow("offer") << changelogForm
                           << QStringList {"Update",
                                           "Vorn IM update",
                                           "Vorn instant messenger update is available. Do you "
                                           "wish to download it now?",
                                           "Show changelog",
                                           "Download now",
                                           "Download later"}
                           << QStringList {pl("Aktualizuj"),
                                           pl("Aktualizacja komunikatora Vorn"),
                                           pl("Są dostępne aktualizacje dla komunikatora Vorn. "
                                              "Czy chcesz pobrać je teraz?"),
                                           pl("Pokaż listę zmian"),
                                           pl("Pobierz teraz"),
                                           pl("Pobierz później")};
    QTest::newRow("download") << downloadForm
                              << QStringList {"Update", "Vorn IM update", "Downloading...",
                                              "Cancel"}
                              << QStringList {pl("Aktualizuj"),
                                              pl("Aktualizacja komunikatora Vorn"),
                                              pl("Pobieranie..."), pl("Anuluj")};
    QTest::newRow("install") << installForm
                             << QStringList {"Update", "Vorn IM update", "Installing..."}
                             << QStringList {pl("Aktualizuj"), pl("Aktualizacja komunikatora Vorn"),
                                             pl("Instalacja...")};
    QTest::newRow("summary")
        << summaryForm
        << QStringList {"Update", "Installation complete",
                        "To complete the update process please restart Vorn instant messenger.",
                        "View details", "Close"}
        << QStringList {pl("Aktualizuj"), pl("Aktualizacje zainstalowane pomyślnie"),
                        pl("By zakończyć proces instalacji należy uruchomić ponownie "
                           "komunikator."),
                        pl("Pokaż szczegóły"), pl("Zamknij")};
}

void TestForms::textsInBothLanguages()
{
    QFETCH(QString, form);
    QFETCH(QStringList, english);
    QFETCH(QStringList, polish);

    const auto inEnglish = showForm(form);
    QVERIFY(inEnglish);
    QCOMPARE(visibleTexts(*inEnglish), english);

    // The loader translates while it builds, so only windows built afterwards are Polish.
    InstalledCatalogue installed;
    QVERIFY(installed.loaded);
    const auto inPolish = showForm(form);
    QVERIFY(inPolish);
    QCOMPARE(visibleTexts(*inPolish), polish);
    QCOMPARE(visibleTexts(*inEnglish), english);
    // No English text is left in a Polish run.
    for (int i = 0; i < english.size(); ++i)
        QVERIFY2(polish.at(i) != english.at(i), qPrintable(english.at(i)));
}

void TestForms::widthIsFixed_data()
{
    QTest::addColumn<QString>("form");
    QTest::addColumn<QSize>("requested");
    QTest::addColumn<QSize>("result");

    QTest::newRow("offer wider") << changelogForm << QSize(700, 500) << QSize(450, 500);
    QTest::newRow("offer narrower") << changelogForm << QSize(300, 300) << QSize(450, 300);
    QTest::newRow("download wider") << downloadForm << QSize(700, 500) << QSize(450, 500);
    QTest::newRow("download narrower") << downloadForm << QSize(300, 300) << QSize(450, 300);
    QTest::newRow("install wider") << installForm << QSize(700, 500) << QSize(450, 500);
    QTest::newRow("install narrower") << installForm << QSize(300, 300) << QSize(450, 300);
    QTest::newRow("summary wider") << summaryForm << QSize(700, 500) << QSize(700, 500);
    QTest::newRow("summary narrower") << summaryForm << QSize(300, 300) << QSize(300, 300);
}

void TestForms::widthIsFixed()
{
    QFETCH(QString, form);
    QFETCH(QSize, requested);
    QFETCH(QSize, result);

    const auto window = showForm(form);
    QVERIFY(window);
    window->resize(requested);
    QTRY_COMPARE(window->size(), result);
}

void TestForms::headerShowsTheIcon_data()
{
    QTest::addColumn<QString>("form");
    QTest::newRow("offer") << changelogForm;
    QTest::newRow("download") << downloadForm;
    QTest::newRow("install") << installForm;
    QTest::newRow("summary") << summaryForm;
}

void TestForms::headerShowsTheIcon()
{
    QFETCH(QString, form);

    const auto window = showForm(form);
    QVERIFY(window);
    // The pixmap holds premultiplied pixels; compare in that form.
    const auto format = QImage::Format_ARGB32_Premultiplied;
    const QImage icon = QImage(QStringLiteral(":/res/icon.png")).convertToFormat(format);
    QVERIFY(!icon.isNull());
    QCOMPARE(window->windowIcon().pixmap(icon.size()).toImage().convertToFormat(format), icon);
    const QList<QLabel *> labels = window->findChildren<QLabel *>();
    const bool shown = std::any_of(labels.cbegin(), labels.cend(), [&](const QLabel *label) {
        return label->isVisible() && label->pixmap().toImage().convertToFormat(format) == icon;
    });
    QVERIFY(shown);
}

void TestForms::typingLeavesPanesAlone_data()
{
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("objectName");

    QTest::newRow("changelog") << changelogForm << "Updater_Changelog_Details";
    QTest::newRow("installation log") << summaryForm << "Updater_Summary_Details";
}

void TestForms::typingLeavesPanesAlone()
{
    QFETCH(QString, form);
    QFETCH(QString, objectName);

    const auto window = showForm(form);
    QVERIFY(window);
    auto *pane = window->findChild<QPlainTextEdit *>(objectName);
    QVERIFY(pane);
    QTest::mouseClick(pane->viewport(), Qt::LeftButton);
    QTest::keyClicks(pane, QStringLiteral("typed"));
    QTest::keyClick(pane, Qt::Key_Return);
    QCOMPARE(pane->toPlainText(), QString());
}

void TestForms::progressStartsAtZero_data()
{
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("objectName");

    QTest::newRow("download") << downloadForm << "Updater_Download_Progress";
    QTest::newRow("install") << installForm << "Updater_Install_Progress";
}

void TestForms::progressStartsAtZero()
{
    QFETCH(QString, form);
    QFETCH(QString, objectName);

    const auto window = showForm(form);
    QVERIFY(window);
    const auto *bar = window->findChild<QProgressBar *>(objectName);
    QVERIFY(bar);
    QVERIFY(bar->isVisible());
    // A bar without a value shows no text at all.
    QCOMPARE(bar->text(), QStringLiteral("0%"));
}

QTEST_MAIN(TestForms)
#include "tst_forms.moc"
