#pragma once
// Bytes as hex text and back, for every face of the tool: the window's frame fields, logs, JSON,
// command lines and the virtual reader's commands.
#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>
#include <cstdint>
#include <optional>

namespace relvix {

// "%02X " per byte, the last byte included: 01 03 -> "01 03 ".
QString HexText(const std::uint8_t *bytes, int count);

// Upper-case digits, the bytes apart by separator when one is given: 01 03 -> "0103", or
// "01 03" with ' '. Nothing after the last byte.
QString HexBytes(QByteArrayView bytes, char separator = 0);

// Strict hex: an even number of digits and nothing else (no blank, prefix or sign).
std::optional<QByteArray> StrictHexBytes(QStringView text);
// 1 to maxDigits hex digits and nothing else.
std::optional<std::uint32_t> StrictHexNumber(QStringView text, int maxDigits);

} // namespace relvix
