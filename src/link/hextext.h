#pragma once
#include <QString>
#include <cstdint>

namespace relvix {

// "%02X " per byte, the last byte included: 01 03 -> "01 03 ".
QString HexText(const std::uint8_t *bytes, int count);

} // namespace relvix
