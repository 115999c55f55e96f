#pragma once
#include <cstdint>

namespace relvix {

// CRC-16/MODBUS: reflected polynomial 0xA001, initial 0xFFFF, no final XOR.
// Check value over "123456789" is 0x4B37. A length of 0 or less gives 0xFFFF.
std::uint16_t Crc16(int length, const std::uint8_t *bytes);

// One more byte into a running CRC: Crc16(n + 1, b) == Crc16Step(Crc16(n, b), b[n]).
std::uint16_t Crc16Step(std::uint16_t crc, std::uint8_t byte);

} // namespace relvix
