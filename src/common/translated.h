#ifndef TRANSLATED_H
#define TRANSLATED_H

#include <QCoreApplication>
#include <QString>

// A text the user sees, from the catalogue: every layer looks its texts up here, under the
// one context "translation". Not named tr: inside a QObject's members that would find
// QObject's tr and its class context.
inline QString translated(const char *text, const char *comment = "nc")
{
    return QCoreApplication::translate("translation", text, comment);
}

#endif // TRANSLATED_H
