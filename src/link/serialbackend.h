#pragma once
// The system's serial backend behind the link opener: QSerialPort on Linux (qtserial.cpp),
// the Win32 comm calls on Windows (win32serial.cpp). One of them is built.
#include "link/linkio.h"
#include "link/serialmode.h"

#include <QString>
#include <memory>

namespace relvix {

// Opens portName and applies what mode sets, field by field; a field the port refuses is
// skipped, never a reason to fail the open. Null when the port cannot be opened, with
// failure saying why.
std::unique_ptr<SerialIo> openSystemSerial(const QString &portName, const SerialMode &mode, OpenFailure &failure);

} // namespace relvix
