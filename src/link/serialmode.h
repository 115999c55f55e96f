#pragma once
#include <QSerialPort>
#include <QString>
#include <optional>

namespace relvix {

// A serial mode text such as "19200,e,8,1": baud rate, parity letter (n e o m s),
// data bits (5..8), stop bits (1, 1.5, 2). Blanks around fields are ignored, the
// parity letter is case-insensitive. A field that is missing or cannot be used is
// left empty so the port keeps what it had.
struct SerialMode {
    std::optional<qint32> baudRate;
    std::optional<QSerialPort::Parity> parity;
    std::optional<QSerialPort::DataBits> dataBits;
    std::optional<QSerialPort::StopBits> stopBits;
};

SerialMode ParseSerialMode(const QString &text);

} // namespace relvix
