#include "link/answerrule.h"
#include "link/crc16.h"

#include <cstring>

namespace relvix {

int FixedFrameLength(std::uint8_t function)
{
    if (function & 0x80)
        return 5; // address, function | 0x80, exception code, CRC
    switch (function) {
    case 0x07:
        return 5;
    case 0x05:
    case 0x06:
    case 0x08:
    case 0x0B:
    case 0x0F:
    case 0x10:
        return 8;
    case 0x16:
        return 10;
    default:
        return HasByteCount(function) ? 0 : -1;
    }
}

bool HasByteCount(std::uint8_t function)
{
    switch (function) {
    case 0x01:
    case 0x02:
    case 0x03:
    case 0x04:
    case 0x0C:
    case 0x11:
    case 0x14:
    case 0x15:
    case 0x17:
        return true;
    default:
        return false;
    }
}

StrictMatcher::StrictMatcher(std::uint8_t *buffer, std::int32_t &length, const std::uint8_t *request, int requestLength,
                             std::int32_t expectedLength)
    : buffer_(buffer), length_(length), request_(requestLength >= 4 ? request : nullptr), requestLength_(requestLength),
      // As the window's rule reads it: 0 stands for 7, and a frame has at least 4 bytes.
      expected_(expectedLength == 0 ? 7 : (expectedLength < 4 ? 4 : expectedLength))
{
    if (request_)
        requestShaped_ = FixedFrameLength(request_[1]) >= 0;
    reset();
}

void StrictMatcher::consumeAll()
{
    searchFrom_ = length_;
    freeStart_ = kNoStart;
    answerStart_ = kNoStart;
}

void StrictMatcher::reset()
{
    length_ = 0;
    searchFrom_ = 0;
    freeStart_ = kNoStart;
    answerStart_ = kNoStart;
    startAtEnd_.fill(kNoStart);
}

void StrictMatcher::registerStart(int start, int frameLength)
{
    const int end = start + frameLength;
    // The buffer is abandoned at 1500 bytes: a frame that would end there is never seen.
    if (end >= kFrameBufferSize)
        return;
    nextStart_[std::size_t(start)] = startAtEnd_[std::size_t(end)];
    startAtEnd_[std::size_t(end)] = static_cast<std::int16_t>(start);
}

bool StrictMatcher::crcMatches(int start, int frameLength) const
{
    const std::uint8_t *f = buffer_ + start;
    const std::uint16_t crc = Crc16(frameLength - 2, f);
    return f[frameLength - 2] == (crc & 0xFF) && f[frameLength - 1] == (crc >> 8);
}

StrictMatcher::Verdict StrictMatcher::classify(int start, int frameLength)
{
    if (!request_)
        return Verdict::Foreign;
    const std::uint8_t *f = buffer_ + start;
    const std::uint8_t function = request_[1];
    if (f[0] != request_[0])
        return Verdict::Foreign;
    if (frameLength == 5 && f[1] == (function | 0x80)) {
        exceptionCode_ = f[2];
        return Verdict::Exception;
    }
    if (f[1] != function)
        return Verdict::Foreign;
    const std::uint8_t *data = request_ + 2;
    const int dataLength = requestLength_ - 4;
    // The quantity asked for, where the request has the usual first-register-and-count form.
    const int quantity = dataLength >= 4 ? (data[2] << 8) | data[3] : -1;
    const auto verdict = [](bool answer) { return answer ? Verdict::Answer : Verdict::Foreign; };
    switch (function) {
    case 0x01:
    case 0x02:
        return verdict(quantity < 0 || f[2] == (quantity + 7) / 8);
    case 0x03:
    case 0x04:
    case 0x17: // the read part's count is the second pair for 17 as well
        return verdict(quantity < 0 || f[2] == 2 * quantity);
    case 0x05:
    case 0x06:
    case 0x16:
        return verdict(frameLength == requestLength_ && std::memcmp(f, request_, std::size_t(frameLength)) == 0);
    case 0x0F:
    case 0x10:
        return verdict(dataLength < 4 || std::memcmp(f + 2, data, 4) == 0);
    default:
        return verdict(frameLength >= expected_);
    }
}

StrictMatcher::Verdict StrictMatcher::found(Verdict verdict, int start, int frameLength)
{
    frameStart_ = start;
    frameLength_ = frameLength;
    if (verdict == Verdict::Foreign) {
        // What was before and inside it is consumed: the next frame starts behind it.
        searchFrom_ = start + frameLength;
        freeStart_ = kNoStart;
    }
    return verdict;
}

StrictMatcher::Verdict StrictMatcher::push(std::uint8_t byte)
{
    if (length_ < 0 || length_ >= kFrameBufferSize)
        reset();
    const int i = length_;
    buffer_[i] = byte;
    length_ = i + 1;
    const int length = length_;
    if (length == kFrameBufferSize) {
        // As the window's rule does: 1500 bytes without an answer are abandoned.
        reset();
        return Verdict::More;
    }
    if (request_) {
        if (i - 1 >= searchFrom_ && buffer_[i - 1] == request_[0] &&
            (byte == request_[1] || byte == (request_[1] | 0x80)))
            answerStart_ = i - 1;
        mayBelong_ = (i >= searchFrom_ && byte == request_[0]) ||
                     (answerStart_ != kNoStart && answerStart_ >= searchFrom_ && i - answerStart_ < kMaxFrame);
    }
    // The start one byte back now has its function, the one two back its byte count.
    if (i - 1 >= searchFrom_) {
        const int fixed = FixedFrameLength(byte);
        if (fixed > 0)
            registerStart(i - 1, fixed);
    }
    if (i - 2 >= searchFrom_ && HasByteCount(buffer_[i - 1]))
        registerStart(i - 2, 5 + byte);

    int foreignStart = kNoStart, foreignLength = 0;
    for (int s = startAtEnd_[std::size_t(length)]; s != kNoStart; s = nextStart_[std::size_t(s)]) {
        if (s < searchFrom_ || !crcMatches(s, length - s))
            continue;
        const Verdict v = classify(s, length - s);
        if (v != Verdict::Foreign)
            return found(v, s, length - s);
        if (foreignStart == kNoStart || s < foreignStart) {
            foreignStart = s;
            foreignLength = length - s;
        }
    }

    if (request_ && !requestShaped_) {
        // A function whose answer length only the CRC tells: the earliest place where the
        // request's address and function stand, tested at every length from the expected one
        // up to the longest frame.
        if (freeStart_ != kNoStart && length - freeStart_ > kMaxFrame - 4) {
            const int from = freeStart_ + 1;
            freeStart_ = kNoStart;
            for (int p = from; p + 1 < length; ++p)
                if (buffer_[p] == request_[0] && buffer_[p + 1] == request_[1]) {
                    freeStart_ = p;
                    break;
                }
        }
        if (freeStart_ == kNoStart && i - 1 >= searchFrom_ && buffer_[i - 1] == request_[0] && byte == request_[1])
            freeStart_ = i - 1;
        if (freeStart_ != kNoStart && length - freeStart_ >= expected_ && crcMatches(freeStart_, length - freeStart_))
            return found(Verdict::Answer, freeStart_, length - freeStart_);
    }

    if (foreignStart != kNoStart)
        return found(Verdict::Foreign, foreignStart, foreignLength);
    return Verdict::More;
}

} // namespace relvix
