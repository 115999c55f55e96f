#pragma once
#include <cstdint>

// The reader's holding registers (16 bits each, high byte first on the wire) and the
// requests the tool makes of them. Every request of the device class is built from these.
namespace relvix::reg {

constexpr std::uint8_t ReadHolding = 0x03; // function 03, read holding registers
constexpr std::uint8_t WriteSingle = 0x06; // function 06, write one register

constexpr std::uint16_t Address = 0x0100;      // slave address, low byte used; 1..254 written
constexpr std::uint16_t SerialNumber = 0x0107; // two registers, then the version at 0x0109
constexpr std::uint16_t IdentityCount = 3;     // serial number (2) and version (1), read together
constexpr std::uint16_t Maintenance = 0x010A;  // write only
constexpr std::uint16_t Inputs = 0x0110;       // read with the outputs behind it
constexpr std::uint16_t Outputs = 0x0111;
constexpr std::uint16_t IoCount = 2;
constexpr std::uint16_t CardBlock = 0x0112;   // 8 registers: the last card's UID
constexpr std::uint16_t KeypadBlock = 0x011B; // 8 registers: the last keypad code
constexpr std::uint16_t BlockCount = 8;

constexpr std::uint16_t Reboot = 0x0001;          // written to Maintenance
constexpr std::uint16_t FactorySettings = 0x0002; // written to Maintenance
constexpr std::uint16_t ClearBlock = 0x0001;      // written to a block's first register

// The most registers one function-03 answer holds (MODBUS application protocol, 6.3).
constexpr std::uint16_t MaxReadCount = 125;

constexpr std::uint8_t MinWritableAddress = 1;
constexpr std::uint8_t MaxWritableAddress = 254;

// Whole response lengths: slave, function, byte count, data, CRC; a write is echoed.
constexpr int ReadLength(int registers)
{
    return 5 + 2 * registers;
}
constexpr int EchoLength = 8;

} // namespace relvix::reg
