#pragma once
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

namespace relvix {

// Port discovery: names as the system reports them, each stripped of characters below 33 at
// both ends, in the given order, duplicates and blank entries kept; COM1..COM16 when none.
QString TrimPortName(const QString &name);
QStringList PortListFrom(const QStringList &reported);

// The system's serial port names in the system's order. Only lists, never opens a port.
QStringList systemSerialPortNames();

// One serial port as the system describes it, for a listing of the ports. Windows knows only
// the name (the path is the same) and the driver's device name as the description.
struct SerialPortDetails {
    QString name;        // "ttyUSB0", "COM3"
    QString path;        // "/dev/ttyUSB0", "COM3"
    QString description; // "FT232R USB UART", "\Device\Serial0"
    QString manufacturer;
    QString serialNumber;
    std::optional<quint16> vendorId;
    std::optional<quint16> productId;
};
QList<SerialPortDetails> systemSerialPortDetails();

} // namespace relvix
