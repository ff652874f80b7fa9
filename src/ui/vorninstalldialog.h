#ifndef VORNINSTALLDIALOG_H
#define VORNINSTALLDIALOG_H

#include <QObject>
#include <QPointer>

class QProgressBar;
class QWidget;
class VornUpdaterEngine;

// The install window: runs the whole installation from its constructor while it shows the
// package being installed, then hands over to the summary. Deletes itself after its window.
class VornInstallDialog : public QObject
{
    Q_OBJECT

public:
    explicit VornInstallDialog(VornUpdaterEngine *engine);

private slots:
    void finished();

private:
    VornUpdaterEngine *engine;
    // Gone once it is closed, which a quit of the application may do at any nested event loop.
    QPointer<QWidget> window;
    QProgressBar *progressBar = nullptr;
};

#endif // VORNINSTALLDIALOG_H
