#include "link/crc16.h"

#include <array>

namespace relvix {
namespace {

// Entry i is the register obtained from i after eight reflected shift-and-XOR steps with
// 0xA001 (0x8005 bit-reversed): the standard 256-entry CRC-16/MODBUS table, built at
// compile time so that no hand-copied constant can be wrong.
constexpr std::array<std::uint16_t, 256> makeTable()
{
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        std::uint16_t reg = static_cast<std::uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 1u) ? static_cast<std::uint16_t>((reg >> 1) ^ 0xA001u) : static_cast<std::uint16_t>(reg >> 1);
        table[i] = reg;
    }
    return table;
}

constexpr std::array<std::uint16_t, 256> kTable = makeTable();

// Spot checks against the published table (first, second and last rows).
static_assert(kTable[0x00] == 0x0000 && kTable[0x01] == 0xC0C1 && kTable[0x02] == 0xC181);
static_assert(kTable[0x80] == 0xA001 && kTable[0xFF] == 0x4040);

} // namespace

std::uint16_t Crc16Step(std::uint16_t crc, std::uint8_t byte)
{
    return static_cast<std::uint16_t>(kTable[(crc ^ byte) & 0xFFu] ^ (crc >> 8));
}

std::uint16_t Crc16(int length, const std::uint8_t *bytes)
{
    std::uint16_t crc = 0xFFFF;
    for (int i = 0; i < length; ++i)
        crc = Crc16Step(crc, bytes[i]);
    return crc;
}

} // namespace relvix
