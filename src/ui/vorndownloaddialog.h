#ifndef VORNDOWNLOADDIALOG_H
#define VORNDOWNLOADDIALOG_H

#include <QObject>

class QProgressBar;
class QWidget;
class VornUpdaterEngine;

// The download window: starts the download once it is shown, follows its progress, offers
// Cancel and hands over to the install window. Deletes itself after its window.
class VornDownloadDialog : public QObject
{
    Q_OBJECT

public:
    explicit VornDownloadDialog(VornUpdaterEngine *engine);

private slots:
    void error(const QString &str);
    void finished();

private:
    VornUpdaterEngine *engine;
    QProgressBar *progressBar = nullptr;
    QWidget *window = nullptr;
};

#endif // VORNDOWNLOADDIALOG_H
