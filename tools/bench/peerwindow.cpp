// The least a Qt 6 program does to show a window: the peer of the updater's start-up. It quits
// once the window has been painted. With --text the window holds one line of text, so that the
// font set-up that any window with text pays is counted too.

#include <QApplication>
#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

namespace {

class PeerWindow : public QWidget
{
protected:
    void paintEvent(QPaintEvent *) override
    {
        QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    }
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    PeerWindow window;
    window.setObjectName(QStringLiteral("PeerWindow"));
    if (QCoreApplication::arguments().contains(QStringLiteral("--text")))
        (new QVBoxLayout(&window))->addWidget(new QLabel(QStringLiteral("Vorn 2.0 is available.")));
    window.resize(400, 300);
    window.show();
    return app.exec();
}
