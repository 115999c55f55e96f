#pragma once
#include <QByteArray>
#include <QString>
#include <cstdint>

namespace relvix {

// Reads "0x" + digits the way the command text asks: one or more hex digits up to the end,
// value within 32 bits. Anything else (no digit, blank, sign, second prefix) fails.
bool ParseHexInteger(const QString &digits, std::uint32_t &value);

// Data text to bytes: pairs of hex digits, an odd last digit is a byte of its own.
// Any pair that does not convert drops the whole data part (empty result). A text that
// would give more than 1496 bytes does not fit a frame and is dropped the same way.
QByteArray CommandDataBytes(const QString &dataText);

// Function text to function code: the whole text read as one hex number, low 8 bits;
// 0 when it does not convert.
std::uint8_t CommandFunctionCode(const QString &functionText);

} // namespace relvix
