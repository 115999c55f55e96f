#pragma once
#include <QString>
#include <cstdint>
#include <optional>

namespace relvix {

// A serial mode text such as "19200,e,8,1": baud rate, parity letter (n e o m s),
// data bits (5..8), stop bits (1, 1.5, 2). Blanks around fields are ignored, the
// parity letter is case-insensitive. A field that is missing or cannot be used is
// left empty so the port keeps what it had. The values are the link's own; each serial
// backend turns them into its system's settings.
enum class Parity : std::uint8_t { None, Even, Odd, Mark, Space };
enum class DataBits : std::uint8_t { Five = 5, Six = 6, Seven = 7, Eight = 8 };
enum class StopBits : std::uint8_t { One, OneAndHalf, Two };

struct SerialMode {
    std::optional<std::int32_t> baudRate;
    std::optional<Parity> parity;
    std::optional<DataBits> dataBits;
    std::optional<StopBits> stopBits;
};

SerialMode ParseSerialMode(const QString &text);

// How long `characters` characters take on the wire at baud, in microseconds, rounded up. Each
// character counts as 11 bits (start, 8 data, parity, stop), the longest a reader's framing
// gives; a baud rate below 1 counts as 1.
std::int64_t WireTimeUs(std::int64_t characters, std::int64_t baud);

// The wire constants every time-out is counted in: a character of the reader's framing is 11
// bits (start, 8 data, parity, stop; 8N2 is as long), and 1200 baud is the slowest speed a
// reader of this kind is set to, so any slower or unknown speed counts as 1200.
constexpr int kBitsPerCharacter = 11;
constexpr std::int32_t kSlowestCountedBaud = 1200;
// The silence that ends an RTU frame: 3.5 characters, in microseconds, rounded up.
std::int64_t FrameGapUs(std::int64_t baud);

// A write waits at most its frame's wire time (at least kSlowestCountedBaud) plus this, so
// that a line held by flow control cannot freeze the tool.
constexpr int kWriteSlackMs = 1000;
// The bound of a write of `characters` at baud, in milliseconds.
std::int64_t WriteBoundMs(std::int64_t characters, std::int64_t baud);

// Speeds and waits are passed on as 32-bit signed counts, however far a sum has run.
constexpr std::int64_t kLargestCount = 0x7FFFFFFF;
constexpr int ClampedCount(std::int64_t value)
{
    return static_cast<int>(value < 0 ? 0 : value > kLargestCount ? kLargestCount : value);
}

} // namespace relvix
