#pragma once
// Helpers for the link tests, independent of the code under test.
#include "support/referencecrc.h"

#include <QByteArray>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace linktest {

using Bytes = std::vector<std::uint8_t>;

using relvix::testing::referenceCrc;

inline Bytes hexBytes(const std::string &text)
{
    Bytes out;
    std::string digits;
    for (char c : text)
        if (c != ' ')
            digits += c;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
}

// Body plus its CRC, low byte first (computed with the reference above).
inline Bytes withCrc(Bytes body)
{
    const std::uint16_t crc = referenceCrc(body.data(), body.size());
    body.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    body.push_back(static_cast<std::uint8_t>(crc >> 8));
    return body;
}

inline bool crcMatchesAt(const Bytes &b, std::size_t len)
{
    if (len < 2 || len > b.size())
        return false;
    const std::uint16_t crc = referenceCrc(b.data(), len - 2);
    return b[len - 2] == (crc & 0xFF) && b[len - 1] == (crc >> 8);
}

inline std::string hexSpaced(const Bytes &b)
{
    static const char *d = "0123456789ABCDEF";
    std::string s;
    for (auto x : b) {
        s += d[x >> 4];
        s += d[x & 15];
        s += ' ';
    }
    return s;
}

// Responses of the reader used in the tests, built by hand from the register map:
// a 3-register read of slave 1 (11 bytes) and a write echo (8 bytes).
inline Bytes readThreeRegisters()
{
    return withCrc({0x01, 0x03, 0x06, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC});
}
inline Bytes writeEcho()
{
    return hexBytes("01 06 01 0A 00 01 69 F4");
}
// An exception reply: function with its top bit set, exception code 02.
inline Bytes exceptionReply()
{
    return withCrc({0x01, 0x83, 0x02});
}

} // namespace linktest
