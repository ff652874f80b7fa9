#ifndef TEXTCONVERSION_H
#define TEXTCONVERSION_H

#include <QString>
#include <QStringView>

#include <algorithm>
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

// Whether the text is ASCII, which is its own UTF-8 and Latin-1, a character to a byte.
inline bool isAscii(QStringView text)
{
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; });
}

#endif // TEXTCONVERSION_H
