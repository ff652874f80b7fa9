#ifndef STANDINMESSENGER_H
#define STANDINMESSENGER_H

#include <QByteArray>
#include <QString>

// The messenger the engine runs for its update query: a shell script named "vorn" beside the
// test program.
namespace StandInMessenger {

QString path();
// Writes the script (the lines after "#!/bin/sh") and makes it executable by its owner.
bool write(const QByteArray &script = "printf '<s></s>'");

} // namespace StandInMessenger

#endif // STANDINMESSENGER_H
