#pragma once
// CRC-16/MODBUS the slow way, bit by bit, as the MODBUS serial line guide describes it:
// written apart from the table-driven one under test, so that the frames the tests expect do
// not come from the code they check. The one reference every test folder uses.
#include <QByteArray>
#include <cstddef>
#include <cstdint>

namespace relvix::testing {

inline std::uint16_t referenceCrc(const std::uint8_t *data, std::size_t n)
{
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= data[i];
        for (int b = 0; b < 8; ++b)
            crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001) : static_cast<std::uint16_t>(crc >> 1);
    }
    return crc;
}

inline std::uint16_t referenceCrc(const QByteArray &bytes)
{
    return referenceCrc(reinterpret_cast<const std::uint8_t *>(bytes.constData()),
                        static_cast<std::size_t>(bytes.size()));
}

// The frame with its CRC appended, low byte first.
inline QByteArray withReferenceCrc(QByteArray frame)
{
    const std::uint16_t crc = referenceCrc(frame);
    frame.append(static_cast<char>(crc & 0xFF));
    frame.append(static_cast<char>(crc >> 8));
    return frame;
}

} // namespace relvix::testing
