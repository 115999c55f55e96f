#include "reader/cardreader.h"
#include "reader/registers.h"

#include <algorithm>

namespace relvix {
namespace {

constexpr int kDataOffset = 3; // slave, function, byte count, then the register data

QByteArray registerPair(std::uint16_t first, std::uint16_t second)
{
    const char bytes[] = {char(first >> 8), char(first & 0xFF), char(second >> 8), char(second & 0xFF)};
    return QByteArray(bytes, sizeof bytes);
}

std::uint16_t word(const QByteArray &bytes, int offset)
{
    return static_cast<std::uint16_t>((std::uint8_t(bytes[offset]) << 8) | std::uint8_t(bytes[offset + 1]));
}

} // namespace

bool CardReader::rawRequest(std::uint16_t slave, std::uint8_t function, const QByteArray &data,
                            std::int32_t expectedLength)
{
    link_.state.slaveAddress = slave;
    return link_.ExchangeFrame(slave, function, expectedLength,
                               reinterpret_cast<const std::uint8_t *>(data.constData()),
                               static_cast<std::uint16_t>(data.size()));
}

QByteArray CardReader::response() const
{
    const LinkState &s = link_.state;
    return QByteArray(reinterpret_cast<const char *>(s.response.data()), std::max(s.responseLength, 0));
}

std::optional<QByteArray> CardReader::readRegisters(std::uint16_t slave, std::uint16_t first, std::uint16_t count)
{
    const int length = reg::ReadLength(count);
    // The expected length is the exact one: the receive rule tests the CRC from there on, and
    // a response that only matches at another length is not this answer.
    if (!rawRequest(slave, reg::ReadHolding, registerPair(first, count), length) ||
        link_.state.responseLength != length)
        return std::nullopt;
    return response().mid(kDataOffset, 2 * count);
}

bool CardReader::writeRegister(std::uint16_t slave, std::uint16_t address, std::uint16_t value)
{
    return rawRequest(slave, reg::WriteSingle, registerPair(address, value), reg::EchoLength) &&
           link_.state.responseLength == reg::EchoLength;
}

std::optional<DataBlock> CardReader::readBlock(std::uint16_t slave, std::uint16_t first)
{
    const auto data = readRegisters(slave, first, reg::BlockCount);
    if (!data)
        return std::nullopt;
    DataBlock block{};
    std::copy(data->begin(), data->end(), block.begin());
    return block;
}

std::optional<std::uint8_t> CardReader::readAddress(std::uint16_t slave)
{
    const auto data = readRegisters(slave, reg::Address, 1);
    if (!data)
        return std::nullopt;
    return std::uint8_t(data->at(1)); // the high byte is not part of the address
}

std::optional<Identity> CardReader::readIdentity(std::uint16_t slave)
{
    const auto data = readRegisters(slave, reg::SerialNumber, reg::IdentityCount);
    if (!data)
        return std::nullopt;
    return Identity{(std::uint32_t(word(*data, 0)) << 16) | word(*data, 2), word(*data, 4)};
}

bool CardReader::writeAddress(std::uint16_t slave, std::uint8_t newAddress)
{
    return writeRegister(slave, reg::Address, newAddress);
}

bool CardReader::reboot(std::uint16_t slave)
{
    return writeRegister(slave, reg::Maintenance, reg::Reboot);
}

bool CardReader::factoryReset(std::uint16_t slave)
{
    return writeRegister(slave, reg::Maintenance, reg::FactorySettings);
}

std::optional<DataBlock> CardReader::readCardBlock(std::uint16_t slave)
{
    return readBlock(slave, reg::CardBlock);
}

std::optional<DataBlock> CardReader::readKeypadBlock(std::uint16_t slave)
{
    return readBlock(slave, reg::KeypadBlock);
}

bool CardReader::clearCardBlock(std::uint16_t slave)
{
    return writeRegister(slave, reg::CardBlock, reg::ClearBlock);
}

bool CardReader::clearKeypadBlock(std::uint16_t slave)
{
    return writeRegister(slave, reg::KeypadBlock, reg::ClearBlock);
}

std::optional<IoState> CardReader::readIo(std::uint16_t slave)
{
    const auto data = readRegisters(slave, reg::Inputs, reg::IoCount);
    if (!data)
        return std::nullopt;
    return IoState{word(*data, 0), word(*data, 2)};
}

bool CardReader::writeOutputs(std::uint16_t slave, std::uint16_t outputs)
{
    return writeRegister(slave, reg::Outputs, outputs);
}

std::optional<QList<std::uint16_t>> CardReader::readHolding(std::uint16_t slave, std::uint16_t first,
                                                            std::uint16_t count)
{
    if (count < 1 || count > reg::MaxReadCount)
        return std::nullopt;
    const auto data = readRegisters(slave, first, count);
    if (!data)
        return std::nullopt;
    QList<std::uint16_t> values;
    for (int i = 0; i < count; ++i)
        values.append(word(*data, 2 * i));
    return values;
}

bool CardReader::writeHolding(std::uint16_t slave, std::uint16_t address, std::uint16_t value)
{
    return writeRegister(slave, address, value);
}

} // namespace relvix
