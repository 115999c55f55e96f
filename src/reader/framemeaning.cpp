#include "reader/framemeaning.h"
#include "link/crc16.h"
#include "link/frameevent.h"
#include "reader/registers.h"
#include "reader/valuetext.h"

#include <algorithm>
#include <cstdint>

namespace relvix {
namespace {

constexpr int kRegisterRequestLength = 8; // slave, function, two 16-bit fields, CRC
constexpr int kExceptionLength = 5;       // slave, function | 0x80, code, CRC
constexpr int kDataOffset = 3;            // of a read response: slave, function, byte count

std::uint8_t byteAt(const QByteArray &frame, int offset)
{
    return static_cast<std::uint8_t>(frame[offset]);
}

std::uint16_t wordAt(const QByteArray &frame, int offset)
{
    return static_cast<std::uint16_t>((byteAt(frame, offset) << 8) | byteAt(frame, offset + 1));
}

QString hex2(unsigned value)
{
    return QString::asprintf("%02X", value);
}

QString hex4(unsigned value)
{
    return QString::asprintf("%04X", value);
}

bool crcValid(const QByteArray &frame)
{
    const int n = int(frame.size());
    if (n < 4)
        return false;
    const std::uint16_t crc = Crc16(n - 2, reinterpret_cast<const std::uint8_t *>(frame.constData()));
    return byteAt(frame, n - 2) == (crc & 0xFFu) && byteAt(frame, n - 1) == (crc >> 8);
}

// The register reads the window makes, by first register and count.
struct NamedRead {
    std::uint16_t first;
    std::uint16_t count;
    const char *meaning;
};

constexpr NamedRead kNamedReads[] = {
    {reg::Address, 1, "read address"},
    {reg::SerialNumber, reg::IdentityCount, "read S/N + version"},
    {reg::Inputs, reg::IoCount, "read DI/DO"},
    {reg::CardBlock, reg::BlockCount, "read card block"},
    {reg::KeypadBlock, reg::BlockCount, "read keypad block"},
};

const NamedRead *namedRead(std::uint16_t first, std::uint16_t count)
{
    for (const NamedRead &read : kNamedReads)
        if (read.first == first && read.count == count)
            return &read;
    return nullptr;
}

QString writeMeaning(std::uint16_t address, std::uint16_t value)
{
    switch (address) {
    case reg::Address:
        return QStringLiteral("write address %1").arg(value & 0xFFu);
    case reg::Maintenance:
        if (value == reg::Reboot)
            return QStringLiteral("reboot");
        if (value == reg::FactorySettings)
            return QStringLiteral("factory settings");
        return QStringLiteral("write maintenance %1").arg(hex4(value));
    case reg::Outputs:
        return QStringLiteral("write outputs %1").arg(hex4(value));
    case reg::CardBlock:
        if (value == reg::ClearBlock)
            return QStringLiteral("clear card block");
        break;
    case reg::KeypadBlock:
        if (value == reg::ClearBlock)
            return QStringLiteral("clear keypad block");
        break;
    default:
        break;
    }
    return QStringLiteral("write register %1 = %2").arg(hex4(address), hex4(value));
}

QString readRequestMeaning(std::uint16_t first, std::uint16_t count)
{
    if (const NamedRead *read = namedRead(first, count))
        return QString::fromLatin1(read->meaning);
    if (count == 1)
        return QStringLiteral("read register %1").arg(hex4(first));
    return QStringLiteral("read %1 registers at %2").arg(count).arg(hex4(first));
}

DataBlock blockFrom(const QByteArray &data)
{
    DataBlock block{};
    for (std::size_t i = 0; i < block.size() && i < std::size_t(data.size()); ++i)
        block[i] = static_cast<std::uint8_t>(data[qsizetype(i)]);
    return block;
}

QString cardMeaning(const QByteArray &data)
{
    // A UID is shown up to its last non-zero byte, and never shorter than the four bytes of
    // the common 8-digit formats.
    qsizetype used = data.size();
    while (used > 0 && data[used - 1] == 0)
        --used;
    if (used == 0)
        return QStringLiteral("no card");
    return QStringLiteral("card ") + QString::fromLatin1(data.left(std::max<qsizetype>(used, 4)).toHex().toUpper());
}

QString keypadMeaning(const QByteArray &data)
{
    const QString keys = KeypadText(blockFrom(data), false);
    return keys.isEmpty() ? QStringLiteral("no keys") : QStringLiteral("keys ") + keys;
}

QString readResponseMeaning(std::uint16_t first, std::uint16_t count, const QByteArray &response)
{
    const int byteCount = byteAt(response, 2);
    if (byteCount != 2 * count || response.size() != reg::ReadLength(count))
        return QStringLiteral("byte count %1, expected %2").arg(byteCount).arg(2 * count);
    const QByteArray data = response.mid(kDataOffset, 2 * count);
    switch (first) {
    case reg::Address:
        if (count == 1)
            return QStringLiteral("address %1").arg(byteAt(data, 1));
        break;
    case reg::SerialNumber:
        if (count == reg::IdentityCount) {
            const std::uint32_t serial = (std::uint32_t(wordAt(data, 0)) << 16) | wordAt(data, 2);
            return QStringLiteral("S/N %1, VER %2")
                .arg(QString::asprintf("%08X", unsigned(serial)), hex4(wordAt(data, 4)));
        }
        break;
    case reg::Inputs:
        if (count == reg::IoCount)
            return QStringLiteral("DI %1, DO %2").arg(hex4(wordAt(data, 0)), hex4(wordAt(data, 2)));
        break;
    case reg::CardBlock:
        if (count == reg::BlockCount)
            return cardMeaning(data);
        break;
    case reg::KeypadBlock:
        if (count == reg::BlockCount)
            return keypadMeaning(data);
        break;
    default:
        break;
    }
    QStringList words;
    for (int i = 0; i + 1 < int(data.size()); i += 2)
        words << hex4(wordAt(data, i));
    return words.join(QLatin1Char(' '));
}

} // namespace

QString requestMeaning(const QByteArray &request)
{
    if (request.size() < 2)
        return {};
    const std::uint8_t function = byteAt(request, 1);
    if (request.size() == kRegisterRequestLength) {
        const std::uint16_t first = wordAt(request, 2);
        const std::uint16_t second = wordAt(request, 4);
        if (function == reg::ReadHolding)
            return readRequestMeaning(first, second);
        if (function == reg::WriteSingle)
            return writeMeaning(first, second);
    }
    return QStringLiteral("function %1").arg(hex2(function));
}

QString responseMeaning(const QByteArray &request, const QByteArray &response)
{
    if (response.size() < 4)
        return QStringLiteral("incomplete");
    if (!crcValid(response))
        return QStringLiteral("bad CRC");
    const std::uint8_t function = byteAt(response, 1);
    if ((function & 0x80u) != 0 && response.size() == kExceptionLength) {
        const std::uint8_t code = byteAt(response, 2);
        return QStringLiteral("exception %1 %2").arg(hex2(code), exceptionName(code));
    }
    if (request.size() < 2)
        return {};
    if (byteAt(response, 0) != byteAt(request, 0))
        return QStringLiteral("from slave %1, not %2").arg(byteAt(response, 0)).arg(byteAt(request, 0));
    const std::uint8_t asked = byteAt(request, 1);
    if (function != asked)
        return QStringLiteral("function %1, not %2").arg(hex2(function), hex2(asked));
    if (request.size() != kRegisterRequestLength)
        return {};
    if (function == reg::ReadHolding)
        return readResponseMeaning(wordAt(request, 2), wordAt(request, 4), response);
    if (function == reg::WriteSingle)
        return response == request ? QStringLiteral("echo") : QStringLiteral("echo differs");
    return {};
}

} // namespace relvix
