#ifndef MESSAGEBOXPROMPTER_H
#define MESSAGEBOXPROMPTER_H

#include "runprompter.h"

// A run's questions and reports as the desktop's modal message boxes, without a parent window:
// they stay up while the run's windows come and go.
class MessageBoxPrompter : public RunPrompter
{
public:
    void showFailure(const QString &title, const Failure &failure) override;
    void showNotice(const QString &title, const QString &text) override;
    // Retry is the default; closing the box aborts.
    Answer askAbortOrRetry(const QString &title, const QString &text) override;
};

#endif // MESSAGEBOXPROMPTER_H
