#ifndef VORNSUMMARYDIALOG_H
#define VORNSUMMARYDIALOG_H

#include <QObject>

class QPlainTextEdit;
class VornUpdaterEngine;

// The summary window: whether the installation succeeded, with its log. "Close" ends the
// updater. Deletes itself after its window.
class VornSummaryDialog : public QObject
{
    Q_OBJECT

public:
    explicit VornSummaryDialog(VornUpdaterEngine *engine);

private slots:
    void restartVorn();
    void toggleDetails();

private:
    VornUpdaterEngine *engine;
    QPlainTextEdit *details = nullptr;
};

#endif // VORNSUMMARYDIALOG_H
