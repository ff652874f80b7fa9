#ifndef VORNCHANGELOGDIALOG_H
#define VORNCHANGELOGDIALOG_H

#include <QObject>
#include <QPointer>

#include <functional>

class QPlainTextEdit;
class QPushButton;
class QWidget;
class VornUpdaterEngine;

// The offer window: tells the user that updates are available, shows their changelog on
// request and starts the download or postpones it. It is built hidden, while the check runs,
// and shown once the check has offers; it goes with its window, and a window never shown goes
// with it. `beforeText`, when given, is called once before the first widget that needs the fonts.
class VornChangelogDialog : public QObject
{
    Q_OBJECT

public:
    explicit VornChangelogDialog(VornUpdaterEngine *engine, std::function<void()> beforeText = {});
    ~VornChangelogDialog() override;

    // Paints the hidden window once into an image, so that the glyphs and the style's pixmaps
    // that its first paint on screen needs are made while the check still runs.
    void prepaint();
    // Shows the window with the changelog of the engine's updates.
    void offer();

private slots:
    void toggleChangelog();
    void downloadNow();

private:
    QString changelogText() const;

    VornUpdaterEngine *engine;
    QPlainTextEdit *details = nullptr;
    QPushButton *viewChangelogButton = nullptr;
    QPointer<QWidget> window;
};

#endif // VORNCHANGELOGDIALOG_H
