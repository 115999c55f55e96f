// The virtual reader's request handler on arbitrary frames, held to the MODBUS RTU rules:
//  - it answers only a frame of at least 4 bytes with a good CRC sent to its own address
//    (never one to the broadcast address 0), and the answer carries that address and a
//    good CRC;
//  - an exception reply is 5 bytes: the request's function code with bit 7 set and a code of
//    01 to 03. A function code of 0x80 and up (those of exception replies) is an unknown
//    function like any other, answered with exception 01: its bit 7 was already set;
//  - a normal answer is one of function 03 (byte count twice the registers asked for) or 06
//    (the request echoed).
#include "link/crc16.h"
#include "virtualreader.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

bool goodCrc(const std::uint8_t *bytes, std::size_t size)
{
    if (size < 4)
        return false;
    const std::uint16_t crc = relvix::Crc16(int(size) - 2, bytes);
    return (crc & 0xFF) == bytes[size - 2] && (crc >> 8) == bytes[size - 1];
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    relvix::sim::VirtualReader reader;
    const QByteArray frame(reinterpret_cast<const char *>(data), qsizetype(size));
    const QByteArray reply = reader.handleRequest(frame);
    const bool forUs = goodCrc(data, size) && data[0] == 1; // a new reader answers at address 1
    if (reply.isEmpty()) {
        // Silent only towards others, broadcasts and bad frames.
        require(!forUs);
        return 0;
    }
    require(forUs);
    const auto *r = reinterpret_cast<const std::uint8_t *>(reply.constData());
    const std::size_t n = std::size_t(reply.size());
    require(goodCrc(r, n));
    require(r[0] == data[0]);
    const std::uint8_t function = data[1];
    const bool known = function == 0x03 || function == 0x06;
    if (r[1] & 0x80) {
        require(r[1] == (function | 0x80));
        require(n == 5);
        require(r[2] >= 1 && r[2] <= 3);
        require(known || r[2] == 1);
        return 0;
    }
    require(known && r[1] == function);
    if (function == 0x06) {
        require(n == size && std::memcmp(r, data, n) == 0);
    } else {
        require(size == 8);
        const int count = (data[4] << 8) | data[5];
        require(r[2] == 2 * count && n == std::size_t(3 + r[2] + 2));
    }
    return 0;
}
