#pragma once
#include <QString>
#include <QStringList>

namespace relvix {

// Port discovery: names as the system reports them, each stripped of characters below 33 at
// both ends, in the given order, duplicates and blank entries kept; COM1..COM16 when none.
QString TrimPortName(const QString &name);
QStringList PortListFrom(const QStringList &reported);

// The system's serial port names in the system's order. Only lists, never opens a port.
QStringList systemSerialPortNames();

} // namespace relvix
