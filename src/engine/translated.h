#ifndef TRANSLATED_H
#define TRANSLATED_H

#include <QCoreApplication>
#include <QString>

// A text of the engine from the catalogue. Not named tr: inside the engine's members that
// would find QObject's tr and its context.
inline QString translated(const char *text)
{
    return QCoreApplication::translate("translation", text, "nc");
}

#endif // TRANSLATED_H
