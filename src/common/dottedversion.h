#ifndef DOTTEDVERSION_H
#define DOTTEDVERSION_H

#include <QString>
#include <QVersionNumber>

// Versions are dotted decimal numbers ("1.10.2"), compared number by number with trailing
// zeros ignored (1.1 = 1.1.0 < 1.10): the rule of the update server and of the updater.
namespace DottedVersion {

// Null unless the whole text is dotted decimal numbers.
QVersionNumber parse(const QString &text);

} // namespace DottedVersion

#endif // DOTTEDVERSION_H
