#include <QAbstractButton>
#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QLayout>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTranslator>
#include <QUiLoader>
#include <QXmlStreamReader>
#include <QtTest>

#include <memory>

namespace {

const QString changelogForm = QStringLiteral(":/res/Changelog.ui");
const QString downloadForm = QStringLiteral(":/res/Download.ui");
const QString installForm = QStringLiteral(":/res/Install.ui");
const QString summaryForm = QStringLiteral(":/res/Summary.ui");

const QString linkLook = QStringLiteral("border: 0px;\n"
                                        "background: transparent;\n"
                                        "color: blue;\n"
                                        "text-decoration: underline;\n"
                                        "text-align: left;");
const QString bold = QStringLiteral("font-weight: bold;");

// Reads a form the way the window controllers do: read-only file, local loader, no parent.
std::unique_ptr<QWidget> loadForm(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return nullptr;
    QUiLoader loader;
    std::unique_ptr<QWidget> root(loader.load(&file, nullptr));
    file.close();
    return root;
}

QString describe(QLayoutItem *item);

QString describeLayout(QLayout *layout)
{
    QStringList items;
    for (int i = 0; i < layout->count(); ++i)
        items << describe(layout->itemAt(i));
    return layout->objectName() + QLatin1Char('[') + items.join(QLatin1Char(','))
        + QLatin1Char(']');
}

// One line per layout tree: "name[items]" for layouts, "name{layout}" for widgets that hold
// one, "vspacer WxH"/"hspacer WxH" for spacers, which lose their names when loaded.
QString describe(QLayoutItem *item)
{
    if (QLayout *layout = item->layout())
        return describeLayout(layout);
    if (QWidget *widget = item->widget()) {
        QString text = widget->objectName();
        if (widget->layout())
            text += QLatin1Char('{') + describeLayout(widget->layout()) + QLatin1Char('}');
        return text;
    }
    if (QSpacerItem *spacer = item->spacerItem()) {
        const QString kind = spacer->expandingDirections() & Qt::Vertical
            ? QStringLiteral("vspacer")
            : QStringLiteral("hspacer");
        return QStringLiteral("%1 %2x%3")
            .arg(kind)
            .arg(spacer->sizeHint().width())
            .arg(spacer->sizeHint().height());
    }
    return QStringLiteral("?");
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

class TestForms : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void root_data();
    void root();
    void layoutTree_data();
    void layoutTree();
    void lookedUpObjects_data();
    void lookedUpObjects();
    void texts_data();
    void texts();
    void sizeRules_data();
    void sizeRules();
    void widthIsFixed_data();
    void widthIsFixed();
    void headerIcon_data();
    void headerIcon();
    void labels_data();
    void labels();
    void linkButtons_data();
    void linkButtons();
    void framedWidgets_data();
    void framedWidgets();
    void readOnlyPanes_data();
    void readOnlyPanes();
    void progressBars_data();
    void progressBars();
    void installHeaderKeepsDefaultConstraint();
    void onlyStyleSheetsAreUntranslatable_data();
    void onlyStyleSheetsAreUntranslatable();

private:
    static void addFormColumn();
};

void TestForms::initTestCase()
{
    Q_INIT_RESOURCE(updater);
}

void TestForms::addFormColumn()
{
    QTest::addColumn<QString>("form");
    QTest::newRow("offer") << changelogForm;
    QTest::newRow("download") << downloadForm;
    QTest::newRow("install") << installForm;
    QTest::newRow("summary") << summaryForm;
}

void TestForms::root_data()
{
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("objectName");
    QTest::addColumn<QSize>("size");

    QTest::newRow("offer") << changelogForm << "Updater_Changelog_MainWindow" << QSize(450, 218);
    QTest::newRow("download") << downloadForm << "Updater_Download_MainWindow" << QSize(450, 189);
    QTest::newRow("install") << installForm << "Updater_Install_MainWindow" << QSize(450, 158);
    QTest::newRow("summary") << summaryForm << "Updater_Summary_MainWindow" << QSize(400, 222);
}

void TestForms::root()
{
    QFETCH(QString, form);
    QFETCH(QString, objectName);
    QFETCH(QSize, size);

    const auto window = loadForm(form);
    QVERIFY(window);
    QCOMPARE(window->metaObject()->className(), "QWidget");
    QCOMPARE(window->objectName(), objectName);
    QVERIFY(window->isWindow());
    QCOMPARE(window->size(), size);
    QVERIFY(!window->windowIcon().isNull());
    QCOMPARE(window->windowIcon().pixmap(QSize(64, 64)).size(), QSize(64, 64));
}

void TestForms::layoutTree_data()
{
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("tree");

    QTest::newRow("offer") << changelogForm
                           << "verticalLayout_2["
                              "horizontalLayout_2[label,verticalLayout_3[label_2,label_3]],"
                              "vspacer 20x40,"
                              "frame{verticalLayout["
                              "horizontalLayout[Updater_Changelog_ViewChangelog,hspacer 40x20,"
                              "Updater_Changelog_DownloadNow,Updater_Changelog_DownloadLater],"
                              "Updater_Changelog_Details]}]";
    QTest::newRow("download") << downloadForm
                              << "verticalLayout_2["
                                 "horizontalLayout_2[label,label_2],"
                                 "vspacer 20x0,"
                                 "frame{verticalLayout["
                                 "Updater_Download_ProgressText,Updater_Download_Progress]},"
                                 "horizontalLayout[hspacer 40x20,Updater_Download_Cancel,"
                                 "hspacer 40x20]]";
    QTest::newRow("install") << installForm
                             << "verticalLayout_2["
                                "horizontalLayout[label,label_2],"
                                "vspacer 20x11,"
                                "frame{verticalLayout["
                                "Updater_Install_ProgressText,Updater_Install_Progress]}]";
    QTest::newRow("summary")
        << summaryForm
        << "verticalLayout["
           "horizontalLayout[label,verticalLayout_2[Updater_Summary_Status,"
           "Updater_Summary_Instruction]],"
           "horizontalLayout_2[Updater_Summary_ViewDetails,Updater_Summary_Restart],"
           "Updater_Summary_Details]";
}

void TestForms::layoutTree()
{
    QFETCH(QString, form);
    QFETCH(QString, tree);

    const auto window = loadForm(form);
    QVERIFY(window);
    QVERIFY(window->layout());
    QCOMPARE(describeLayout(window->layout()), tree);
}

void TestForms::lookedUpObjects_data()
{
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("objectName");
    QTest::addColumn<QByteArray>("className");

    QTest::newRow("view changelog")
        << changelogForm << "Updater_Changelog_ViewChangelog" << QByteArray("QPushButton");
    QTest::newRow("download now") << changelogForm << "Updater_Changelog_DownloadNow"
                                  << QByteArray("QPushButton");
    QTest::newRow("download later")
        << changelogForm << "Updater_Changelog_DownloadLater" << QByteArray("QPushButton");
    QTest::newRow("changelog pane")
        << changelogForm << "Updater_Changelog_Details" << QByteArray("QPlainTextEdit");
    QTest::newRow("download bar") << downloadForm << "Updater_Download_Progress"
                                  << QByteArray("QProgressBar");
    QTest::newRow("download text")
        << downloadForm << "Updater_Download_ProgressText" << QByteArray("QLabel");
    QTest::newRow("cancel") << downloadForm << "Updater_Download_Cancel"
                            << QByteArray("QPushButton");
    QTest::newRow("install bar") << installForm << "Updater_Install_Progress"
                                 << QByteArray("QProgressBar");
    QTest::newRow("install text") << installForm << "Updater_Install_ProgressText"
                                  << QByteArray("QLabel");
    QTest::newRow("log pane") << summaryForm << "Updater_Summary_Details"
                              << QByteArray("QPlainTextEdit");
    QTest::newRow("status") << summaryForm << "Updater_Summary_Status" << QByteArray("QLabel");
    QTest::newRow("instruction") << summaryForm << "Updater_Summary_Instruction"
                                 << QByteArray("QLabel");
    QTest::newRow("close") << summaryForm << "Updater_Summary_Restart"
                           << QByteArray("QAbstractButton");
}

void TestForms::lookedUpObjects()
{
    QFETCH(QString, form);
    QFETCH(QString, objectName);
    QFETCH(QByteArray, className);

    const auto window = loadForm(form);
    QVERIFY(window);
    const QList<QObject *> found = window->findChildren<QObject *>(objectName);
    QCOMPARE(found.size(), 1);
    QVERIFY2(found.first()->inherits(className.constData()),
             found.first()->metaObject()->className());
}

void TestForms::texts_data()
{
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("objectName");
    QTest::addColumn<QByteArray>("property");
    QTest::addColumn<QString>("english");
    QTest::addColumn<QString>("polish");

    const QByteArray title("windowTitle");
    const QByteArray text("text");
    const auto pl = [](const char *s) { return QString::fromUtf8(s); };

    QTest::newRow("offer title") << changelogForm << "Updater_Changelog_MainWindow" << title
                                 << "Update" << pl("Aktualizuj");
    QTest::newRow("offer header") << changelogForm << "label_2" << text << "Vorn IM update"
                                  << pl("Aktualizacja komunikatora Vorn");
    QTest::newRow("offer question")
        << changelogForm << "label_3" << text
        << "Vorn instant messenger update is available. Do you wish to download it now?"
        << pl("Są dostępne aktualizacje dla komunikatora Vorn. Czy chcesz pobrać je teraz?");
    QTest::newRow("offer show changelog") << changelogForm << "Updater_Changelog_ViewChangelog"
                                          << text << "Show changelog" << pl("Pokaż listę zmian");
    QTest::newRow("offer download now") << changelogForm << "Updater_Changelog_DownloadNow" << text
                                        << "Download now" << pl("Pobierz teraz");
    QTest::newRow("offer download later") << changelogForm << "Updater_Changelog_DownloadLater"
                                          << text << "Download later" << pl("Pobierz później");
    QTest::newRow("offer icon label") << changelogForm << "label" << text << ""
                                      << "";

    QTest::newRow("download title")
        << downloadForm << "Updater_Download_MainWindow" << title << "Update" << pl("Aktualizuj");
    QTest::newRow("download header") << downloadForm << "label_2" << text << "Vorn IM update"
                                     << pl("Aktualizacja komunikatora Vorn");
    QTest::newRow("download progress") << downloadForm << "Updater_Download_ProgressText" << text
                                       << "Downloading..." << pl("Pobieranie...");
    QTest::newRow("download cancel")
        << downloadForm << "Updater_Download_Cancel" << text << "Cancel" << pl("Anuluj");

    QTest::newRow("install title")
        << installForm << "Updater_Install_MainWindow" << title << "Update" << pl("Aktualizuj");
    QTest::newRow("install header") << installForm << "label_2" << text << "Vorn IM update"
                                    << pl("Aktualizacja komunikatora Vorn");
    QTest::newRow("install progress") << installForm << "Updater_Install_ProgressText" << text
                                      << "Installing..." << pl("Instalacja...");

    QTest::newRow("summary title")
        << summaryForm << "Updater_Summary_MainWindow" << title << "Update" << pl("Aktualizuj");
    QTest::newRow("summary status")
        << summaryForm << "Updater_Summary_Status" << text << "Installation complete"
        << pl("Aktualizacje zainstalowane pomyślnie");
    QTest::newRow("summary instruction")
        << summaryForm << "Updater_Summary_Instruction" << text
        << "To complete the update process please restart Vorn instant messenger."
        << pl("By zakończyć proces instalacji należy uruchomić ponownie komunikator.");
    QTest::newRow("summary view details") << summaryForm << "Updater_Summary_ViewDetails" << text
                                          << "View details" << pl("Pokaż szczegóły");
    QTest::newRow("summary close")
        << summaryForm << "Updater_Summary_Restart" << text << "Close" << pl("Zamknij");
}

void TestForms::texts()
{
    QFETCH(QString, form);
    QFETCH(QString, objectName);
    QFETCH(QByteArray, property);
    QFETCH(QString, english);
    QFETCH(QString, polish);

    const auto textOf = [&](QWidget *window) {
        QObject *object = window->objectName() == objectName
            ? window
            : window->findChild<QObject *>(objectName);
        return object ? object->property(property.constData()).toString()
                      : QStringLiteral("<missing>");
    };

    const auto inEnglish = loadForm(form);
    QVERIFY(inEnglish);
    QCOMPARE(textOf(inEnglish.get()), english);

    // The loader translates while it builds, so only forms loaded afterwards are Polish.
    InstalledCatalogue installed;
    QVERIFY(installed.loaded);
    const auto inPolish = loadForm(form);
    QVERIFY(inPolish);
    QCOMPARE(textOf(inPolish.get()), polish);
    QCOMPARE(textOf(inEnglish.get()), english);
}

void TestForms::sizeRules_data()
{
    QTest::addColumn<QString>("form");
    QTest::addColumn<QSize>("minimumSize");
    QTest::addColumn<QSize>("maximumSize");
    QTest::addColumn<QSizePolicy>("sizePolicy");

    // 16777215 is the toolkit's largest widget size: no limit.
    const QSize unlimited(16777215, 16777215);
    const QSize fixedWidthMax(450, 16777215);
    const QSizePolicy minimumPreferred(QSizePolicy::Minimum, QSizePolicy::Preferred);
    const QSizePolicy defaultPolicy = QWidget().sizePolicy();

    QTest::newRow("offer") << changelogForm << QSize(450, 0) << fixedWidthMax << minimumPreferred;
    QTest::newRow("download") << downloadForm << QSize(450, 0) << fixedWidthMax << minimumPreferred;
    QTest::newRow("install") << installForm << QSize(450, 0) << fixedWidthMax << minimumPreferred;
    QTest::newRow("summary") << summaryForm << QSize(0, 0) << unlimited << defaultPolicy;
}

void TestForms::sizeRules()
{
    QFETCH(QString, form);
    QFETCH(QSize, minimumSize);
    QFETCH(QSize, maximumSize);
    QFETCH(QSizePolicy, sizePolicy);

    const auto window = loadForm(form);
    QVERIFY(window);
    QCOMPARE(window->minimumSize(), minimumSize);
    QCOMPARE(window->maximumSize(), maximumSize);
    QCOMPARE(window->sizePolicy(), sizePolicy);
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

    const auto window = loadForm(form);
    QVERIFY(window);
    window->resize(requested);
    QCOMPARE(window->size(), result);
}

void TestForms::headerIcon_data()
{
    addFormColumn();
}

void TestForms::headerIcon()
{
    QFETCH(QString, form);

    const auto window = loadForm(form);
    QVERIFY(window);
    const auto *icon = window->findChild<QLabel *>(QStringLiteral("label"));
    QVERIFY(icon);
    QVERIFY(icon->text().isEmpty());
    QCOMPARE(icon->pixmap().size(), QSize(64, 64));
    // The pixmap holds premultiplied pixels; compare in that form.
    const auto format = QImage::Format_ARGB32_Premultiplied;
    QCOMPARE(icon->pixmap().toImage().convertToFormat(format),
             QImage(QStringLiteral(":/res/icon.png")).convertToFormat(format));
    QCOMPARE(icon->sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(icon->sizePolicy().verticalPolicy(), QSizePolicy::Preferred);
}

void TestForms::labels_data()
{
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("objectName");
    QTest::addColumn<QString>("styleSheet");
    QTest::addColumn<bool>("wordWrap");

    QTest::newRow("offer header") << changelogForm << "label_2" << bold << true;
    QTest::newRow("offer question") << changelogForm << "label_3" << QString() << true;
    QTest::newRow("download header") << downloadForm << "label_2" << bold << true;
    QTest::newRow("download progress")
        << downloadForm << "Updater_Download_ProgressText" << QString() << false;
    QTest::newRow("install header") << installForm << "label_2" << bold << true;
    QTest::newRow("install progress")
        << installForm << "Updater_Install_ProgressText" << QString() << false;
    QTest::newRow("summary status") << summaryForm << "Updater_Summary_Status" << bold << true;
    QTest::newRow("summary instruction")
        << summaryForm << "Updater_Summary_Instruction" << QString() << true;
}

void TestForms::labels()
{
    QFETCH(QString, form);
    QFETCH(QString, objectName);
    QFETCH(QString, styleSheet);
    QFETCH(bool, wordWrap);

    const auto window = loadForm(form);
    QVERIFY(window);
    const auto *label = window->findChild<QLabel *>(objectName);
    QVERIFY(label);
    QCOMPARE(label->styleSheet(), styleSheet);
    QCOMPARE(label->wordWrap(), wordWrap);
}

void TestForms::linkButtons_data()
{
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("objectName");
    QTest::addColumn<QString>("styleSheet");
    QTest::addColumn<bool>("pointingHand");

    QTest::newRow("view changelog")
        << changelogForm << "Updater_Changelog_ViewChangelog" << linkLook << true;
    QTest::newRow("view details") << summaryForm << "Updater_Summary_ViewDetails" << linkLook
                                  << false;
    QTest::newRow("download now") << changelogForm << "Updater_Changelog_DownloadNow" << QString()
                                  << false;
    QTest::newRow("download later")
        << changelogForm << "Updater_Changelog_DownloadLater" << QString() << false;
    QTest::newRow("cancel") << downloadForm << "Updater_Download_Cancel" << QString() << false;
    QTest::newRow("close") << summaryForm << "Updater_Summary_Restart" << QString() << false;
}

void TestForms::linkButtons()
{
    QFETCH(QString, form);
    QFETCH(QString, objectName);
    QFETCH(QString, styleSheet);
    QFETCH(bool, pointingHand);

    // The style sheets must survive a load with the catalogue installed untouched.
    InstalledCatalogue installed;
    QVERIFY(installed.loaded);
    const auto window = loadForm(form);
    QVERIFY(window);
    const auto *button = window->findChild<QPushButton *>(objectName);
    QVERIFY(button);
    QCOMPARE(button->styleSheet(), styleSheet);
    QCOMPARE(button->testAttribute(Qt::WA_SetCursor), pointingHand);
    if (pointingHand)
        QCOMPARE(button->cursor().shape(), Qt::PointingHandCursor);
}

void TestForms::framedWidgets_data()
{
    QTest::addColumn<QString>("form");
    QTest::addColumn<QStringList>("inside");
    QTest::addColumn<QStringList>("outside");

    QTest::newRow("offer") << changelogForm
                           << QStringList {"Updater_Changelog_ViewChangelog",
                                           "Updater_Changelog_DownloadNow",
                                           "Updater_Changelog_DownloadLater",
                                           "Updater_Changelog_Details"}
                           << QStringList {"label", "label_2", "label_3"};
    QTest::newRow("download") << downloadForm
                              << QStringList {"Updater_Download_ProgressText",
                                              "Updater_Download_Progress"}
                              << QStringList {"label", "label_2", "Updater_Download_Cancel"};
    QTest::newRow("install") << installForm
                             << QStringList {"Updater_Install_ProgressText",
                                             "Updater_Install_Progress"}
                             << QStringList {"label", "label_2"};
}

void TestForms::framedWidgets()
{
    QFETCH(QString, form);
    QFETCH(QStringList, inside);
    QFETCH(QStringList, outside);

    const auto window = loadForm(form);
    QVERIFY(window);
    auto *frame = window->findChild<QFrame *>(QStringLiteral("frame"));
    QVERIFY(frame);
    QCOMPARE(frame->metaObject()->className(), "QFrame");
    QCOMPARE(frame->frameShape(), QFrame::StyledPanel);
    QCOMPARE(frame->frameShadow(), QFrame::Raised);
    for (const QString &name : inside) {
        const auto *widget = window->findChild<QWidget *>(name);
        QVERIFY2(widget, qPrintable(name));
        QVERIFY2(frame->isAncestorOf(widget), qPrintable(name));
    }
    for (const QString &name : outside) {
        const auto *widget = window->findChild<QWidget *>(name);
        QVERIFY2(widget, qPrintable(name));
        QVERIFY2(!frame->isAncestorOf(widget), qPrintable(name));
    }
}

void TestForms::readOnlyPanes_data()
{
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("objectName");

    QTest::newRow("changelog") << changelogForm << "Updater_Changelog_Details";
    QTest::newRow("installation log") << summaryForm << "Updater_Summary_Details";
}

void TestForms::readOnlyPanes()
{
    QFETCH(QString, form);
    QFETCH(QString, objectName);

    const auto window = loadForm(form);
    QVERIFY(window);
    const auto *pane = window->findChild<QPlainTextEdit *>(objectName);
    QVERIFY(pane);
    QVERIFY(pane->isReadOnly());
    QVERIFY(pane->toPlainText().isEmpty());
}

void TestForms::progressBars_data()
{
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("objectName");

    QTest::newRow("download") << downloadForm << "Updater_Download_Progress";
    QTest::newRow("install") << installForm << "Updater_Install_Progress";
}

void TestForms::progressBars()
{
    QFETCH(QString, form);
    QFETCH(QString, objectName);

    const auto window = loadForm(form);
    QVERIFY(window);
    const auto *bar = window->findChild<QProgressBar *>(objectName);
    QVERIFY(bar);
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 100);
    // A fresh bar has no value (-1); the forms start at 0.
    QCOMPARE(bar->value(), 0);
}

void TestForms::installHeaderKeepsDefaultConstraint()
{
    const auto window = loadForm(installForm);
    QVERIFY(window);
    const auto *header = window->findChild<QHBoxLayout *>(QStringLiteral("horizontalLayout"));
    QVERIFY(header);
    QCOMPARE(header->sizeConstraint(), QLayout::SetDefaultConstraint);
}

void TestForms::onlyStyleSheetsAreUntranslatable_data()
{
    addFormColumn();
}

// Reads the form file itself: what the loader would translate is decided by notr there.
void TestForms::onlyStyleSheetsAreUntranslatable()
{
    QFETCH(QString, form);

    QFile file(form);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&file);
    QString property;
    int styleSheets = 0;
    int translatable = 0;
    bool namesCollection = false;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == QLatin1String("ui")) {
            QCOMPARE(xml.attributes().value(QLatin1String("version")).toString(),
                     QStringLiteral("4.0"));
        } else if (xml.name() == QLatin1String("property")) {
            property = xml.attributes().value(QLatin1String("name")).toString();
        } else if (xml.name() == QLatin1String("string")) {
            const bool notr
                = xml.attributes().value(QLatin1String("notr")) == QLatin1String("true");
            QVERIFY2(notr == (property == QLatin1String("styleSheet")), qPrintable(property));
            if (notr)
                ++styleSheets;
            else
                ++translatable;
        } else if (xml.name() == QLatin1String("include")) {
            namesCollection = xml.attributes().value(QLatin1String("location"))
                == QLatin1String("../updater.qrc");
        }
    }
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    QVERIFY(styleSheets > 0);
    QVERIFY(translatable > 0);
    QVERIFY(namesCollection);
}

QTEST_MAIN(TestForms)
#include "tst_forms.moc"
