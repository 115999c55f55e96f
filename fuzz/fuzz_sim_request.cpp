// The virtual reader's request handler on arbitrary frames: it answers only frames with a
// good CRC for its address, and every answer is a well-formed frame.
#include "link/crc16.h"
#include "virtualreader.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    relvix::sim::VirtualReader reader;
    const QByteArray frame(reinterpret_cast<const char *>(data), qsizetype(size));
    const QByteArray reply = reader.handleRequest(frame);
    if (reply.isEmpty())
        return 0;
    const auto *r = reinterpret_cast<const std::uint8_t *>(reply.constData());
    const int n = int(reply.size());
    if (n < 5 || size < 4)
        std::abort();
    const std::uint16_t crc = relvix::Crc16(n - 2, r);
    if ((crc & 0xFF) != r[n - 2] || (crc >> 8) != r[n - 1])
        std::abort();
    const auto *q = data;
    const std::uint16_t qcrc = relvix::Crc16(int(size) - 2, q);
    if ((qcrc & 0xFF) != q[size - 2] || (qcrc >> 8) != q[size - 1])
        std::abort(); // answered a frame with a bad CRC
    if (r[0] != q[0] || (r[1] & 0x7F) != q[1])
        std::abort();
    return 0;
}
