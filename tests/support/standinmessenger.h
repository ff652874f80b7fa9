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
// Writes a messenger whose query asks for every component that the reply offers (by the
// attributes of its requests), each installed at that version.
bool writeAskingFor(const QByteArray &reply, const QByteArray &version = "1.0");

} // namespace StandInMessenger

#endif // STANDINMESSENGER_H
