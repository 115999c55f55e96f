#include "simframing.h"
#include "virtualreader.h"

#include <cstdint>

namespace relvix::sim {

int completeFrameLength(const QByteArray &buffer)
{
    std::uint16_t crc = 0xFFFF; // CRC of the first k bytes
    const int n = static_cast<int>(buffer.size());
    for (int k = 0; k + 2 <= n; ++k) {
        if (k >= 2) {
            const std::uint16_t carried = static_cast<std::uint16_t>(static_cast<std::uint8_t>(buffer[k]) |
                                                                     (static_cast<std::uint8_t>(buffer[k + 1]) << 8));
            if (crc == carried)
                return k + 2;
        }
        crc = crc16Step(crc, static_cast<std::uint8_t>(buffer[k]));
    }
    return 0;
}

int requestLength(const QByteArray &buffer, bool silent)
{
    if (buffer.size() >= 2) {
        const auto function = static_cast<std::uint8_t>(buffer[1]);
        if (function == 0x03 || function == 0x06) {
            if (buffer.size() >= FixedRequestLength && hasValidCrc(buffer.left(FixedRequestLength)))
                return FixedRequestLength;
            if (buffer.size() < FixedRequestLength && !silent)
                return 0;
        }
    }
    return completeFrameLength(buffer);
}

} // namespace relvix::sim
