#pragma once
#include "link/readerlink.h"

#include <QByteArray>
#include <QList>
#include <array>
#include <cstdint>
#include <optional>

namespace relvix {

// The 16 bytes of the card UID block or of the keypad block, in the order received.
using DataBlock = std::array<std::uint8_t, 16>;

struct Identity {
    std::uint32_t serialNumber = 0; // registers 0x0107 (high half) and 0x0108
    std::uint16_t version = 0;      // register 0x0109
};

struct IoState {
    std::uint16_t inputs = 0;
    std::uint16_t outputs = 0;
};

// The card reader as a device: one method per request the tool makes of it, each exactly
// one exchange over an open link, addressed to `slave` (its low byte goes on the wire).
// A read gives its value only for a CRC-valid response of exactly the expected length; a
// write counts only when its 8-byte echo came back. Opening and closing the link, pauses
// and retries belong to the caller.
class CardReader {
public:
    explicit CardReader(ReaderLink &link) : link_(link) {}

    ReaderLink &link() { return link_; }

    // Register 0x0100; the reader's own slave address (the low byte).
    std::optional<std::uint8_t> readAddress(std::uint16_t slave);
    // Registers 0x0107..0x0109.
    std::optional<Identity> readIdentity(std::uint16_t slave);
    // The reader answers at its old address, then takes the new one.
    bool writeAddress(std::uint16_t slave, std::uint8_t newAddress);
    bool reboot(std::uint16_t slave);
    bool factoryReset(std::uint16_t slave);

    std::optional<DataBlock> readCardBlock(std::uint16_t slave);
    std::optional<DataBlock> readKeypadBlock(std::uint16_t slave);
    bool clearCardBlock(std::uint16_t slave);
    bool clearKeypadBlock(std::uint16_t slave);

    std::optional<IoState> readIo(std::uint16_t slave);
    bool writeOutputs(std::uint16_t slave, std::uint16_t outputs);

    // Any holding registers: count (1..125, the most one function-03 answer holds) from
    // first on; and one register written with function 06, true when the echo came back.
    std::optional<QList<std::uint16_t>> readHolding(std::uint16_t slave, std::uint16_t first, std::uint16_t count);
    bool writeHolding(std::uint16_t slave, std::uint16_t address, std::uint16_t value);

    // How the latest request ended (the link's answer rule decides what counted).
    const ExchangeResult &lastResult() const { return link_.lastResult(); }

    // Any request: function code and data bytes as given. True when a response was accepted
    // (CRC-valid, at least expectedLength bytes; 0 stands for 7). The response is then
    // response(), the frames' hex texts are in the link state.
    bool rawRequest(std::uint16_t slave, std::uint8_t function, const QByteArray &data,
                    std::int32_t expectedLength = 0);

    // The bytes of the latest accepted or failed response.
    QByteArray response() const;

private:
    // Reads `count` registers from `first`; the register data bytes when the whole response
    // has exactly the expected length.
    std::optional<QByteArray> readRegisters(std::uint16_t slave, std::uint16_t first, std::uint16_t count);
    bool writeRegister(std::uint16_t slave, std::uint16_t address, std::uint16_t value);
    std::optional<DataBlock> readBlock(std::uint16_t slave, std::uint16_t first);

    ReaderLink &link_;
};

} // namespace relvix
