#pragma once
#include "link/receiverule.h"

#include <array>
#include <cstdint>

namespace relvix {

// Which frame ends an exchange. Each face chooses its own, once, on its link.
enum class AnswerRule : std::uint8_t {
    // The first CRC-valid frame at or beyond the expected length, whoever sent it. A MODBUS
    // exception reply is shorter than any expected length in use and is never accepted.
    FirstValid,
    // Only the answer to this request (see StrictMatcher). An exception reply ends the
    // exchange with its code, other valid frames are dropped, a failed exchange is drained
    // before the next request, and a port or connection that fails ends the exchange.
    Strict,
};

// What an exchange's receive loop asks of its answer rule. The loops (one per transport)
// own the time-outs and the byte I/O; the policy judges each byte.
class AnswerPolicy {
public:
    enum class Step : std::uint8_t {
        More,   // wait for more bytes
        Answer, // the answer is complete
        Ended,  // the exchange is over without an answer (an exception reply)
    };
    virtual ~AnswerPolicy() = default;
    virtual Step push(std::uint8_t byte) = 0;
    // Whether the byte just pushed restarts the silence time-out. The window's rule restarts
    // it with every byte; the strict rule only with a byte that may belong to the answer,
    // so that noise cannot hold an exchange beyond its time-out.
    virtual bool restartsSilence() const = 0;
    // The strict rule ends the exchange at once when the port or connection fails, and
    // listens after the answer for a second one; the window's rule does neither.
    virtual bool strict() const = 0;
};

// The strict rule over the bytes of one exchange, byte by byte.
//
// A frame is found where its own header says it ends: function codes 01 to 04, 0C, 11, 14,
// 15 and 17 carry a byte count (address, function, count, data, CRC), 07 is 5 bytes, 05, 06,
// 08, 0B, 0F and 10 are 8, 16 is 10, and a function with its top bit set is a 5-byte
// exception reply (MODBUS application protocol v1.1b3, section 6). Every position of the
// buffer is a possible start, so bytes that belong to no frame (line noise, a frame cut off)
// are stepped over. A frame counts only when its CRC is right.
//
// A valid frame is the answer when its address and function are the request's and:
//  - 03, 04, 17: the byte count is twice the registers asked for (01, 02: one bit each);
//  - 05, 06, 16: it is the request itself, byte for byte (the echo);
//  - 0F, 10: it repeats the request's first register and count.
// For a function whose answer length the frame does not tell, the answer starts with the
// request's address and function and is CRC-valid at or beyond the expected length (as
// the window's rule, at most 256 bytes, the longest RTU frame).
// The request's address with its function | 0x80 in a 5-byte frame is an exception.
// Any other valid frame is Foreign: not the answer; the search goes on after it.
class StrictMatcher {
public:
    enum class Verdict : std::uint8_t { More, Answer, Exception, Foreign };

    // buffer and length as the link state keeps them (length set to 0 here). Without a
    // request (the drain), every valid frame is Foreign.
    StrictMatcher(std::uint8_t *buffer, std::int32_t &length, const std::uint8_t *request = nullptr,
                  int requestLength = 0, std::int32_t expectedLength = 0);

    Verdict push(std::uint8_t byte);

    // The frame of the latest verdict other than More: where it starts in the buffer and how
    // long it is. Exception: its code.
    int frameStart() const { return frameStart_; }
    int frameLength() const { return frameLength_; }
    std::uint8_t exceptionCode() const { return exceptionCode_; }

    // Everything pushed so far is taken (a local echo skipped): frames start after it.
    void consumeAll();
    // Where the next frame may start; bytes before it are consumed.
    int searchFrom() const { return searchFrom_; }
    // Whether the latest byte may belong to the answer: the request's address, or a byte of
    // a frame that began with the request's address and its function (or the exception
    // form of it), within the longest frame. Always true without a request.
    bool mayBelongToAnswer() const { return mayBelong_; }

private:
    static constexpr int kMaxFrame = 256 + 4; // a byte count of 255 gives 260
    static constexpr int kNoStart = -1;

    void reset();
    void registerStart(int start, int frameLength);
    bool crcMatches(int start, int frameLength) const;
    Verdict classify(int start, int frameLength);
    Verdict found(Verdict verdict, int start, int frameLength);

    std::uint8_t *buffer_;
    std::int32_t &length_;
    const std::uint8_t *request_;
    int requestLength_;
    int expected_;
    bool requestShaped_ = false; // the request's function is one whose answer length is told
    int searchFrom_ = 0;         // frames start here or later: all before was consumed
    int freeStart_ = kNoStart;   // unknown function: the earliest start of a possible answer
    int answerStart_ = kNoStart; // the latest start of the request's address and function
    bool mayBelong_ = true;
    // Starts whose frames end at a given length, chained: startAtEnd_[end] is one of them,
    // nextStart_[start] the next with the same end.
    std::array<std::int16_t, kFrameBufferSize + kMaxFrame + 1> startAtEnd_;
    std::array<std::int16_t, kFrameBufferSize> nextStart_;
    int frameStart_ = 0;
    int frameLength_ = 0;
    std::uint8_t exceptionCode_ = 0;
};

// The length of a frame that starts with this function code, when the code alone tells it
// (0 when a byte count is needed, -1 when the code does not tell).
int FixedFrameLength(std::uint8_t function);
// Whether the third byte of a frame with this function code is its byte count.
bool HasByteCount(std::uint8_t function);

} // namespace relvix
