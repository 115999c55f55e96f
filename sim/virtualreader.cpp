#include "virtualreader.h"

#include "link/crc16.h"

namespace relvix::sim {

namespace {

// MODBUS allows at most 125 registers in one read: 250 data bytes keep the response within
// the 256-byte RTU frame limit.
constexpr int MaxReadCount = 125;

std::uint8_t byteAt(const QByteArray &bytes, int i)
{
    return static_cast<std::uint8_t>(bytes[i]);
}

std::uint16_t wordAt(const QByteArray &bytes, int i)
{
    return static_cast<std::uint16_t>((byteAt(bytes, i) << 8) | byteAt(bytes, i + 1));
}

void appendWord(QByteArray &bytes, std::uint16_t value)
{
    bytes.append(static_cast<char>(value >> 8));
    bytes.append(static_cast<char>(value & 0xFF));
}

bool inBlock(std::uint16_t address, std::uint16_t first)
{
    return address >= first && address < first + reg::BlockRegisters;
}

} // namespace

// Byte by byte, so that a stream can be searched for a frame end in one pass; whole frames
// use the link's table CRC below.
std::uint16_t crc16Step(std::uint16_t crc, std::uint8_t byte)
{
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit)
        crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001) : static_cast<std::uint16_t>(crc >> 1);
    return crc;
}

std::uint16_t crc16(const QByteArray &bytes)
{
    return Crc16(static_cast<int>(bytes.size()), reinterpret_cast<const std::uint8_t *>(bytes.constData()));
}

bool hasValidCrc(const QByteArray &frame)
{
    if (frame.size() < 4)
        return false;
    const int n = static_cast<int>(frame.size());
    const std::uint16_t carried = static_cast<std::uint16_t>(byteAt(frame, n - 2) | (byteAt(frame, n - 1) << 8));
    return crc16(frame.left(n - 2)) == carried;
}

QByteArray withCrc(QByteArray frame)
{
    const std::uint16_t crc = crc16(frame);
    frame.append(static_cast<char>(crc & 0xFF));
    frame.append(static_cast<char>(crc >> 8));
    return frame;
}

QByteArray exceptionResponse(std::uint8_t address, std::uint8_t function, std::uint8_t code)
{
    QByteArray frame;
    frame.append(static_cast<char>(address));
    frame.append(static_cast<char>(function | 0x80));
    frame.append(static_cast<char>(code));
    return withCrc(frame);
}

QString hexString(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

VirtualReader::VirtualReader()
{
    setAddress(1);
    setSerialNumber(0x0012ABCD);
    setVersion(0x1A05);
}

void VirtualReader::setAddress(std::uint8_t address)
{
    address_ = address;
    at(reg::Address) = address;
}

void VirtualReader::setSerialNumber(std::uint32_t serial)
{
    at(reg::SerialHigh) = static_cast<std::uint16_t>(serial >> 16);
    at(reg::SerialLow) = static_cast<std::uint16_t>(serial & 0xFFFF);
}

void VirtualReader::setVersion(std::uint16_t version)
{
    at(reg::Version) = version;
}
void VirtualReader::setInputs(std::uint16_t inputs)
{
    at(reg::Inputs) = inputs;
}
void VirtualReader::setOutputs(std::uint16_t outputs)
{
    at(reg::Outputs) = outputs;
}
std::uint16_t VirtualReader::outputs() const
{
    return at(reg::Outputs);
}
std::uint16_t VirtualReader::inputs() const
{
    return at(reg::Inputs);
}
std::uint16_t VirtualReader::version() const
{
    return at(reg::Version);
}

std::uint32_t VirtualReader::serialNumber() const
{
    return (std::uint32_t(at(reg::SerialHigh)) << 16) | at(reg::SerialLow);
}

void VirtualReader::writeBlock(std::uint16_t first, const QByteArray &bytes)
{
    QByteArray padded = bytes.left(2 * reg::BlockRegisters);
    padded.append(QByteArray(2 * reg::BlockRegisters - padded.size(), '\0'));
    for (int i = 0; i < reg::BlockRegisters; ++i)
        at(static_cast<std::uint16_t>(first + i)) = wordAt(padded, 2 * i);
}

void VirtualReader::presentCard(const QByteArray &uid)
{
    writeBlock(reg::UidBlock, uid);
}
void VirtualReader::typeKeys(const QByteArray &keys)
{
    writeBlock(reg::KeypadBlock, keys);
}

bool VirtualReader::typeKeyDigits(const QString &digits)
{
    if (digits.size() > 2 * reg::BlockRegisters)
        return false;
    QByteArray keys;
    for (QChar c : digits) {
        if (c < u'0' || c > u'9')
            return false;
        const int digit = c.unicode() - u'0';
        keys.append(static_cast<char>(digit == 0 ? 10 : digit));
    }
    typeKeys(keys);
    return true;
}

static QByteArray blockBytes(const VirtualReader &reader, std::uint16_t first)
{
    QByteArray bytes;
    for (int i = 0; i < reg::BlockRegisters; ++i)
        appendWord(bytes, reader.registerValue(static_cast<std::uint16_t>(first + i)));
    return bytes;
}

QByteArray VirtualReader::uidBytes() const
{
    return blockBytes(*this, reg::UidBlock);
}
QByteArray VirtualReader::keyBytes() const
{
    return blockBytes(*this, reg::KeypadBlock);
}

std::uint16_t VirtualReader::registerValue(std::uint16_t address) const
{
    if (address < reg::Address || address >= reg::Address + regs_.size())
        return 0;
    return at(address);
}

void VirtualReader::setRegister(std::uint16_t address, std::uint16_t value)
{
    if (address < reg::Address || address >= reg::Address + regs_.size())
        return;
    at(address) = value;
    if (address == reg::Address)
        address_ = static_cast<std::uint8_t>(value & 0xFF); // the low byte is the address
}

bool VirtualReader::isReadable(std::uint16_t address)
{
    return address == reg::Address || (address >= reg::SerialHigh && address <= reg::Maintenance) ||
           address == reg::Inputs || address == reg::Outputs || inBlock(address, reg::UidBlock) ||
           inBlock(address, reg::KeypadBlock);
}

bool VirtualReader::accepts(const QByteArray &frame) const
{
    if (!hasValidCrc(frame))
        return false;
    const std::uint8_t target = byteAt(frame, 0);
    return target == address_ || target == 0;
}

QByteArray VirtualReader::readHolding(const QByteArray &frame)
{
    const std::uint8_t self = byteAt(frame, 0);
    // address, function, start (2), count (2), CRC (2)
    if (frame.size() != 8)
        return exceptionResponse(self, 0x03, exc::IllegalDataValue);
    const std::uint16_t start = wordAt(frame, 2);
    const std::uint16_t count = wordAt(frame, 4);
    if (count < 1 || count > MaxReadCount)
        return exceptionResponse(self, 0x03, exc::IllegalDataValue);
    for (int i = 0; i < count; ++i) {
        if (start + i > 0xFFFF || !isReadable(static_cast<std::uint16_t>(start + i)))
            return exceptionResponse(self, 0x03, exc::IllegalDataAddress);
    }
    QByteArray response;
    response.append(static_cast<char>(self));
    response.append(static_cast<char>(0x03));
    response.append(static_cast<char>(2 * count));
    for (int i = 0; i < count; ++i) {
        const auto address = static_cast<std::uint16_t>(start + i);
        // The maintenance register is a command, not a state: it always reads 0.
        appendWord(response, address == reg::Maintenance ? 0 : at(address));
    }
    return withCrc(response);
}

QByteArray VirtualReader::writeSingle(const QByteArray &frame, std::uint8_t *newAddress)
{
    const std::uint8_t self = byteAt(frame, 0);
    // address, function, register (2), value (2), CRC (2)
    if (frame.size() != 8)
        return exceptionResponse(self, 0x06, exc::IllegalDataValue);
    const std::uint16_t address = wordAt(frame, 2);
    const std::uint16_t value = wordAt(frame, 4);
    const QByteArray echo = frame;
    switch (address) {
    case reg::Address:
        if (value < 1 || value > 254)
            return exceptionResponse(self, 0x06, exc::IllegalDataValue);
        at(reg::Address) = value;
        *newAddress = static_cast<std::uint8_t>(value);
        return echo;
    case reg::Maintenance:
        if (value == 1) {
            ++reboots_;
        } else if (value == 2) {
            ++factoryResets_;
            at(reg::Address) = 1;
            *newAddress = 1;
            at(reg::Outputs) = 0;
            writeBlock(reg::UidBlock, {});
            writeBlock(reg::KeypadBlock, {});
        } else {
            return exceptionResponse(self, 0x06, exc::IllegalDataValue);
        }
        return echo;
    case reg::Outputs:
        at(reg::Outputs) = value;
        return echo;
    case reg::UidBlock:
    case reg::KeypadBlock:
        if (value != 1)
            return exceptionResponse(self, 0x06, exc::IllegalDataValue);
        writeBlock(address, {});
        return echo;
    default:
        return exceptionResponse(self, 0x06, exc::IllegalDataAddress);
    }
}

QByteArray VirtualReader::handleRequest(const QByteArray &frame)
{
    if (!accepts(frame))
        return {};
    const bool broadcast = byteAt(frame, 0) == 0;
    const std::uint8_t function = byteAt(frame, 1);
    std::uint8_t newAddress = address_;
    QByteArray response;
    switch (function) {
    case 0x03:
        response = readHolding(frame);
        break;
    case 0x06:
        response = writeSingle(frame, &newAddress);
        break;
    default:
        response = exceptionResponse(byteAt(frame, 0), function, exc::IllegalFunction);
        break;
    }
    // The response already carries the address the request was sent to; only later requests
    // see the new one.
    address_ = newAddress;
    if (broadcast)
        return {};
    return response;
}

} // namespace relvix::sim
