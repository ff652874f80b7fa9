#ifndef VORNCHANGELOGDIALOG_H
#define VORNCHANGELOGDIALOG_H

#include <QObject>

class QPlainTextEdit;
class QPushButton;
class QWidget;
class VornUpdaterEngine;

// The offer window: tells the user that updates are available, shows their changelog on
// request and starts the download or postpones it. Deletes itself after its window.
class VornChangelogDialog : public QObject
{
    Q_OBJECT

public:
    explicit VornChangelogDialog(VornUpdaterEngine *engine);

private slots:
    void toggleChangelog();
    void downloadNow();

private:
    QString changelogText() const;

    VornUpdaterEngine *engine;
    QPlainTextEdit *details = nullptr;
    QPushButton *viewChangelogButton = nullptr;
    QWidget *window = nullptr;
};

#endif // VORNCHANGELOGDIALOG_H
