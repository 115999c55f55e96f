#pragma once
// The RS-485 line between the tool and the readers, as far as the virtual reader models it:
// how long each byte is on the wire at the line's speed, and on a two-wire (half-duplex)
// line what happens when two transmissions overlap in time. Plain logic on a clock given
// from outside, in nanoseconds; the peer drives it (simpeers.cpp).
#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace relvix::sim {

// What the line does besides carrying frames.
struct LineMode {
    // The tool's own bytes come back to it as it sends them, as on the many USB RS-485
    // adapters whose receiver stays on while they transmit.
    bool echo = false;
    // One pair of wires for both directions: transmissions that overlap in time garble each
    // other, and answers take their wire time to arrive.
    bool halfDuplex = false;
    bool operator==(const LineMode &) const = default;
};

// "normal", "echo", "half-duplex", "echo,half-duplex" (either order); none for anything else.
std::optional<LineMode> parseLineMode(const QString &text);
QString lineModeName(LineMode mode);

// MODBUS RTU sends 11 bits a character: start, 8 data, parity (or a second stop bit), stop.
constexpr int BitsPerCharacter = 11;
// Wire times over TCP, which has no speed of its own, and on a pseudo-terminal whose speed
// cannot be told: the commonest speed of these readers.
constexpr int DefaultLineBaud = 19200;
// An absent address behind a gateway: exception 0B after this long (a gateway waits for the
// bus before it gives up; 50 ms is short enough for a scan, long enough to be seen).
constexpr int DefaultGatewayDelayMs = 50;

// One character's time on the wire at this speed (DefaultLineBaud for none).
qint64 characterNs(int baud);

// The transmissions on one line, in both directions, and their collisions. The tool's bytes
// are on the wire one after another from when they are seen (or from the end of its earlier
// ones); a transmission to the tool (an answer) occupies [start, start + bytes x character
// time], and each of its bytes arrives when its last bit has. Where the tool's bytes and an
// answer overlap, the answer is garbled from its first byte on the wire during the overlap
// to its end (the receiver has lost step), and so are the tool's bytes from the first that
// overlaps; two answers that overlap garble each other the same way. A garbled byte is the
// complement of the byte sent: a complemented tail of any frame up to 4 KiB never passes
// the CRC (x^15+x+1, a factor of the CRC's polynomial, divides no all-ones error shorter
// than 32767 bits), so no receiver takes a collision for a frame.
class WireSchedule {
public:
    // The tool sent count bytes, seen now, at charNs a byte. Returns the index among them of
    // the first one an answer on the wire garbled, or -1 when none overlapped.
    int toolSends(qint64 now, qint64 charNs, qsizetype count, QStringList *log);
    // When the last bit of the tool's byte with this index (counting all it sent) was sent.
    qint64 toolByteEnd(qint64 index) const;
    // The tool's bytes before this index are framed: their times are no longer needed.
    void forgetToolBytesBefore(qint64 index);
    // An answer to the tool from start, at charNs a byte; tag heads its log line. True when
    // it overlaps bytes the tool is still sending (those are garbled, which the caller does).
    bool transmit(const QByteArray &bytes, qint64 start, qint64 charNs, const QString &tag, QStringList *log);
    // The bytes whose last bit has arrived by now, in the order they arrived.
    QByteArray takeDue(qint64 now, QStringList *log);
    // When the next byte is due; -1 when nothing waits.
    qint64 nextDue() const;
    qsizetype pendingBytes() const;
    void clear();

private:
    struct Transmission {
        QByteArray bytes;
        qint64 start = 0;
        qint64 charNs = 1;
        QString tag;
        qsizetype sent = 0;
        qsizetype garbledFrom = 0; // bytes from here on go out complemented
        qint64 end() const { return start + bytes.size() * charNs; }
        // The first byte whose last bit comes after t.
        qsizetype firstEndingAfter(qint64 t) const;
    };
    struct ToolChunk {
        qint64 firstIndex = 0;
        qint64 start = 0;
        qint64 charNs = 1;
        qsizetype count = 0;
    };
    QList<Transmission> transmissions_;
    QList<ToolChunk> toolChunks_;
    qint64 toolBytes_ = 0;      // the tool's bytes so far
    qint64 toolRunStart_ = 0;   // the tool's latest transmission without a pause: its start
    qint64 toolBusyUntil_ = -1; // and its end
};

} // namespace relvix::sim
