#ifndef UPDATEQUERY_H
#define UPDATEQUERY_H

#include <QByteArray>

// The bytes to send to the update server, cut out of what the messenger printed: from the
// first "<s>" through the last "</s>", empty when there is no such stretch.
QByteArray cutUpdateQuery(const QByteArray &messengerOutput);

#endif // UPDATEQUERY_H
