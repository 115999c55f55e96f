#pragma once
#include <cstdint>

namespace relvix {

constexpr int kFrameBufferSize = 1500;
constexpr int kMaxPayload = kFrameBufferSize - 4;

// The receive rule, byte by byte, over the response buffer and length of the link state.
// Each byte is stored at offset `length`; at 1500 the length goes back to 0. From the
// expected length on, the CRC of all but the last two bytes is compared with the last two
// (low byte first) after every byte; the first match accepts the response.
// The CRC of the growing prefix is carried from byte to byte, so each byte costs the same
// however long the response has grown: a peer flooding bytes cannot make the test of
// every byte cost the whole buffer.
class ReceiveRule {
public:
    // expectedLength 0 stands for 7. Lengths 1..3 cannot hold a frame and count as 4.
    ReceiveRule(std::uint8_t *buffer, std::int32_t &length, std::int32_t expectedLength);

    // Stores one byte; true when the response is accepted at the current length.
    bool push(std::uint8_t byte);

    std::int32_t expectedLength() const { return expected_; }

private:
    std::uint8_t *buffer_;
    std::int32_t &length_;
    std::int32_t expected_;
    // CRC of buffer_[0 .. folded_): the bytes before the last two once the length is 2 or more.
    std::uint16_t prefixCrc_ = 0xFFFF;
    std::int32_t folded_ = 0;
};

} // namespace relvix
