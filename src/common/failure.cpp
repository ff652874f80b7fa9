#include "failure.h"

Failure Failure::withContext(const QString &context) const
{
    if (!isFailure())
        return *this;
    return Failure(failureKind,
                   userText.isEmpty() ? context : context + QLatin1Char('\n') + userText, error);
}
