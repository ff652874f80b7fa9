#ifndef RUNPROMPTER_H
#define RUNPROMPTER_H

#include "failure.h"

#include <QString>

// How a run speaks to the user. The engine decides when a box appears and what it says; the
// windows, which implement this, decide how it looks. Each call returns once the user has
// answered.
class RunPrompter
{
public:
    enum class Answer { Abort, Retry };

    virtual ~RunPrompter() = default;
    // A failure that ends a step of the run.
    virtual void showFailure(const QString &title, const Failure &failure) = 0;
    // Something the user should know that is no failure.
    virtual void showNotice(const QString &title, const QString &text) = 0;
    // A package failed: stop here, or start the updater again.
    virtual Answer askAbortOrRetry(const QString &title, const QString &text) = 0;
};

#endif // RUNPROMPTER_H
