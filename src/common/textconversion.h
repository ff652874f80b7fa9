#ifndef TEXTCONVERSION_H
#define TEXTCONVERSION_H

#include <QString>

#include <string>

// The records hold bytes as std::string: names, versions and links are Latin-1, the texts a
// person reads (description, changelog) UTF-8.

inline QString latin1(const std::string &text)
{
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

// Up to the first NUL, as the text is shown.
inline QString utf8(const std::string &text)
{
    return QString::fromUtf8(text.c_str());
}

#endif // TEXTCONVERSION_H
