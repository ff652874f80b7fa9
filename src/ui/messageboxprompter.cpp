#include "messageboxprompter.h"

#include <QMessageBox>

void MessageBoxPrompter::showFailure(const QString &title, const Failure &failure)
{
    QMessageBox::critical(nullptr, title, failure.text(), QMessageBox::Ok);
}

void MessageBoxPrompter::showNotice(const QString &title, const QString &text)
{
    QMessageBox::information(nullptr, title, text);
}

RunPrompter::Answer MessageBoxPrompter::askAbortOrRetry(const QString &title, const QString &text)
{
    return QMessageBox::warning(nullptr, title, text, QMessageBox::Abort | QMessageBox::Retry,
                                QMessageBox::Retry)
            == QMessageBox::Retry
        ? Answer::Retry
        : Answer::Abort;
}
