#ifndef KEYFILETEXT_H
#define KEYFILETEXT_H

#include <QByteArray>

// The text of a key file as the publisher's tools write it for the 32-byte seed, for the
// purpose "package" or "reply"; without a purpose, as they wrote it before keys named one.
QByteArray keyFileText(const QByteArray &seed, const QByteArray &purpose = QByteArray());

#endif // KEYFILETEXT_H
