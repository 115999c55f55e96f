#include "link/receiverule.h"
#include "link/crc16.h"

namespace relvix {
namespace {

std::int32_t effectiveExpected(std::int32_t expected)
{
    if (expected == 0)
        return 7; // the shortest response in use: a write echo is 8, a one-register read 7
    // Address, function and two CRC bytes are the least a frame can be; shorter (or
    // negative) values would test the CRC of fewer than two bytes.
    if (expected < 4)
        return 4;
    return expected;
}

} // namespace

ReceiveRule::ReceiveRule(std::uint8_t *buffer, std::int32_t &length, std::int32_t expectedLength)
    : buffer_(buffer), length_(length), expected_(effectiveExpected(expectedLength))
{
}

bool ReceiveRule::push(std::uint8_t byte)
{
    // A length outside the buffer can only come from a caller that set it by hand;
    // start over rather than write past the end.
    if (length_ < 0 || length_ >= kFrameBufferSize)
        length_ = 0;
    buffer_[length_] = byte;
    ++length_;
    if (length_ == kFrameBufferSize) {
        // The 1500th byte abandons what was gathered: a response is at most 1499 bytes.
        length_ = 0;
        return false;
    }
    // Carry the CRC of all but the last two bytes forward. Usually one byte has just moved
    // out of the last two and is folded in; at the first byte (after the start, the wrap,
    // or a length the exchange set back between calls) it starts afresh from the buffer.
    const std::int32_t prefix = length_ - 2;
    if (prefix == folded_ + 1) {
        prefixCrc_ = Crc16Step(prefixCrc_, buffer_[folded_]);
        folded_ = prefix;
    } else if (prefix != folded_) {
        prefixCrc_ = Crc16(prefix, buffer_); // 0xFFFF for the empty prefix of one byte
        folded_ = prefix < 0 ? 0 : prefix;
    }
    if (length_ < expected_)
        return false;
    const std::uint16_t carried = static_cast<std::uint16_t>(buffer_[length_ - 2] | (buffer_[length_ - 1] << 8));
    return prefixCrc_ == carried;
}

} // namespace relvix
