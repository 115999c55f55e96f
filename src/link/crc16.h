#pragma once
#include <cstdint>

namespace relvix {

// CRC-16/MODBUS: reflected polynomial 0xA001, initial 0xFFFF, no final XOR.
// Check value over "123456789" is 0x4B37. A length of 0 or less gives 0xFFFF.
std::uint16_t Crc16(int length, const std::uint8_t *bytes);

} // namespace relvix
