#ifndef VORNDOWNLOADDIALOG_H
#define VORNDOWNLOADDIALOG_H

#include "failure.h"

#include <QObject>
#include <QPointer>

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
    void downloadFailed(const Failure &failure);
    void finished();

private:
    VornUpdaterEngine *engine;
    QProgressBar *progressBar = nullptr;
    // Gone once it is closed, which a quit of the application may do at any nested event loop.
    QPointer<QWidget> window;
};

#endif // VORNDOWNLOADDIALOG_H
