// The exchange's receive side fed arbitrary byte streams in fuzzer-chosen pieces: over the
// network path, or over the serial path with fuzzer-chosen silences between the pieces.
// Either path must agree with a model of the receive rule: an accepted frame carries a
// good CRC and a length from the expected one to 1499; a failed exchange holds the bytes
// since the last wrap and ends at its time-out; on the serial path a silence of more than
// 1000 ms ends the exchange and one of less does not. A send that cannot finish in time
// fails the exchange with nothing received.
//
// Time is fake and moves only when the exchange waits, so an input costs microseconds
// however long the time-outs it runs into. The stand-ins and the model are left out of the
// coverage the fuzzer steers by (and out of its comparison tracing, the main cost per
// byte): only the code under test should guide it.
#include "link/crc16.h"
#include "link/readerlink.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

using namespace relvix;

// Not instrumented for coverage: the stand-ins, the model and the checks. They keep to raw
// arrays, since what they call would otherwise not be inlined and be instrumented after all.
#define RELVIX_HARNESS __attribute__((no_sanitize("coverage")))

namespace {

struct NullHost : ExchangeHost {
    void processMessages() override {}
};

struct FakeClock : Clock {
    std::uint32_t nowMs() override { return now; }
    void sleepMs(int ms) override { now += std::uint32_t(ms > 0 ? ms : 0); }
    std::uint32_t now = 0;
};

// Bytes in pieces; the serial port lets gapMs of silence pass before each piece.
struct Piece {
    std::size_t begin = 0, end = 0;
    std::uint32_t gapMs = 0;
};

struct Script {
    const std::uint8_t *bytes = nullptr;
    const Piece *pieces = nullptr;
    std::size_t pieceCount = 0;
    FakeClock *clock = nullptr;
    bool sendStalls = false;      // the peer never reads: the send uses up its whole time
    std::uint32_t idleStepMs = 1; // how long a serial read without a byte takes
};

// Each receive hands out what is left of one piece; after the last, the peer has closed.
struct ChunkNet : NetIo {
    explicit ChunkNet(Script &s) : s_(s) {}
    RELVIX_HARNESS bool waitReadable(int timeoutMs) override
    {
        if (sent_)
            return true; // a piece, or the end of the stream
        s_.clock->now += std::uint32_t(timeoutMs > 0 ? timeoutMs : 0);
        return false;
    }
    RELVIX_HARNESS int receive(std::uint8_t *bytes, int maxCount) override
    {
        while (next_ < s_.pieceCount && s_.pieces[next_].begin + taken_ == s_.pieces[next_].end) {
            ++next_;
            taken_ = 0;
        }
        if (next_ == s_.pieceCount)
            return 0;
        const Piece &p = s_.pieces[next_];
        std::size_t n = p.end - p.begin - taken_;
        if (n > std::size_t(maxCount))
            n = std::size_t(maxCount);
        std::memcpy(bytes, s_.bytes + p.begin + taken_, n);
        taken_ += n;
        return int(n);
    }
    Send send(const std::uint8_t *, int, int timeoutMs) override
    {
        sent_ = true;
        if (!s_.sendStalls)
            return Send::Done;
        s_.clock->now += std::uint32_t(timeoutMs > 0 ? timeoutMs : 0);
        return Send::TimedOut;
    }
    Script &s_;
    bool sent_ = false;
    std::size_t next_ = 0, taken_ = 0;
};

// One byte a read; a piece is there gapMs after the previous byte was read (or after the
// write), and a read that finds nothing takes idleStepMs.
struct ByteSerial : SerialIo {
    explicit ByteSerial(Script &s) : s_(s) {}
    void purge() override {}
    void write(const std::uint8_t *, int) override { lastByteAt = s_.clock->now; }
    RELVIX_HARNESS Read readByte(std::uint8_t &b) override
    {
        while (next_ < s_.pieceCount && s_.pieces[next_].begin + taken_ == s_.pieces[next_].end) {
            ++next_;
            taken_ = 0;
        }
        const bool ready =
            next_ < s_.pieceCount && (taken_ > 0 || s_.clock->now - lastByteAt >= s_.pieces[next_].gapMs);
        if (!ready) {
            s_.clock->now += s_.idleStepMs;
            return Read::Nothing;
        }
        b = s_.bytes[s_.pieces[next_].begin + taken_++];
        lastByteAt = s_.clock->now;
        return Read::Byte;
    }
    // 1200 baud: an overall bound of 15.75 s, beyond the silences the input can make.
    qint32 baudRate() const override { return 1200; }
    Script &s_;
    std::size_t next_ = 0, taken_ = 0;
    std::uint32_t lastByteAt = 0;
};

struct Opener : LinkOpener {
    Script *script = nullptr;
    ByteSerial *serial = nullptr;
    std::unique_ptr<SerialIo> openSerial(const QString &, const QString &) override
    {
        auto s = std::make_unique<ByteSerial>(*script);
        serial = s.get();
        return s;
    }
    std::unique_ptr<NetIo> openNetwork(const QString &, const QString &) override
    {
        return std::make_unique<ChunkNet>(*script);
    }
};

struct Result {
    bool accepted = false;
    std::vector<std::uint8_t> frame; // accepted: the response; failed: the bytes since the last wrap
    std::uint32_t elapsedMs = 0;
    std::uint32_t silenceMs = 0; // serial: from the last byte (or the write) to the end
};

// The receive rule stated another way. A CRC-16/MODBUS register run over a message and then
// over its own CRC, low byte first, ends at 0, and only then: so "the CRC of all but the
// last two bytes equals the last two" is "the register over all the bytes is 0". The
// register moves a byte at a time through a table of the bit-by-bit steps the MODBUS
// serial line guide gives, built here.
RELVIX_HARNESS Result model(const std::uint8_t *stream, std::size_t size, int expected)
{
    static const auto table = [] {
        std::array<std::uint16_t, 256> t{};
        for (unsigned i = 0; i < 256; ++i) {
            std::uint16_t reg = std::uint16_t(i);
            for (int bit = 0; bit < 8; ++bit)
                reg = std::uint16_t((reg >> 1) ^ (0xA001u & (0u - (reg & 1u))));
            t[i] = reg;
        }
        return t;
    }();
    const std::uint16_t *step = table.data();
    if (expected == 0)
        expected = 7;
    if (expected < 4)
        expected = 4;
    Result o;
    std::size_t start = 0; // where the bytes since the last wrap begin
    std::size_t end = 0;
    std::uint16_t reg = 0xFFFF;
    for (; end < size && !o.accepted; ++end) {
        const std::size_t n = end + 1 - start;
        if (n == kFrameBufferSize) {
            start = end + 1;
            reg = 0xFFFF;
            continue;
        }
        reg = std::uint16_t(step[(reg ^ stream[end]) & 0xFFu] ^ (reg >> 8));
        o.accepted = int(n) >= expected && reg == 0;
    }
    o.frame.assign(stream + start, stream + end);
    return o;
}

Result run(Transport transport, Script script, int expected)
{
    const std::size_t total = script.pieceCount ? script.pieces[script.pieceCount - 1].end : 0;
    NullHost host;
    FakeClock clock;
    script.clock = &clock;
    Opener opener;
    opener.script = &script;
    ReaderLink link(host, clock, opener);
    link.state.transport = transport;
    if (!link.OpenLink())
        std::abort();
    const std::uint8_t payload[] = {0x01, 0x00, 0x00, 0x01};
    Result o;
    o.accepted = link.ExchangeFrame(1, 3, expected, payload, sizeof payload);
    o.elapsedMs = clock.now;
    if (opener.serial)
        o.silenceMs = clock.now - opener.serial->lastByteAt;
    const int n = link.state.responseLength;
    if (n < 0 || n >= kFrameBufferSize)
        std::abort();
    o.frame.assign(link.state.response.begin(), link.state.response.begin() + n);
    // Behind the response (or the bytes of a failed exchange) the buffer stays zero-filled,
    // until the wrap at 1500 leaves abandoned bytes there.
    static const std::uint8_t zeros[kFrameBufferSize] = {};
    if (total < kFrameBufferSize &&
        std::memcmp(link.state.response.data() + n, zeros, std::size_t(kFrameBufferSize - n)))
        std::abort();
    link.CloseLink();
    return o;
}

RELVIX_HARNESS void checkAccepted(const Result &o)
{
    const int n = int(o.frame.size());
    if (n < 4 || n > kFrameBufferSize - 1)
        std::abort();
    const std::uint16_t crc = Crc16(n - 2, o.frame.data());
    if ((crc & 0xFF) != o.frame[n - 2] || (crc >> 8) != o.frame[n - 1])
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // Byte 0: the expected length (low three bits), the path (bit 3: serial) and, on the
    // network path, a peer that never reads (bit 4). Byte 1: the seed of the pieces and
    // silences. Then the stream.
    if (size < 2)
        return 0;
    const int expectedChoices[] = {0, 7, 8, 9, 11, 21, 4, 3};
    const int expected = expectedChoices[data[0] % 8];
    const bool serialPath = (data[0] & 0x08) != 0;
    const bool sendStalls = (data[0] & 0x10) != 0;
    std::uint32_t seed = data[1];
    const std::uint8_t *stream = data + 2;
    const std::size_t length = size - 2;
    // Room for the wrap at 1500 and a response behind it, or a longest response of 1499;
    // longer streams reach nothing new and only cost time.
    if (length > 1600)
        return 0;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 16;
    };

    // The stream in pieces: one receive or one burst each. One input in four is a single
    // piece (a receive then takes up to the 1500 bytes of its buffer), the others pieces of
    // 1 to 40 bytes. On the serial path most pieces follow at once; some after a silence
    // the exchange must sit out (up to 1000 ms less the time a read without a byte takes,
    // 1 to 256 ms), a few after more than 1000 ms, which must end it. Silences stop after
    // 4 s in all, well inside the 15.75 s bound at 1200 baud. The network path ignores them.
    static std::vector<Piece> cuts; // kept from input to input: no allocation for each
    cuts.clear();
    Script pieces;
    pieces.bytes = stream;
    pieces.idleStepMs = 1 + next() % 256;
    const std::size_t longest = next() % 4 == 0 ? std::max<std::size_t>(length, 1) : 40;
    std::uint32_t silences = 0;
    std::size_t heard = length; // what the serial port delivers before a silence ends it
    for (std::size_t i = 0; i < length;) {
        const std::size_t len = std::min<std::size_t>(1 + next() % longest, length - i);
        std::uint32_t gap = 0;
        const std::uint32_t kind = next() % 16;
        if (kind == 0 && silences < 4000)
            gap = next() % (1001 - pieces.idleStepMs);
        else if (kind == 1)
            gap = 1001 + next() % 500;
        if (gap > 0)
            silences += gap + pieces.idleStepMs; // the reads see its end up to a step late
        if (gap > 1000 && heard == length)
            heard = i;
        cuts.push_back({i, i + len, gap});
        i += len;
    }
    pieces.pieces = cuts.data();
    pieces.pieceCount = cuts.size();

    if (serialPath) {
        const Result want = model(stream, heard, expected);
        const Result serial = run(Transport::Serial, pieces, expected);
        if (serial.accepted != want.accepted || serial.frame != want.frame)
            std::abort();
        if (serial.accepted)
            checkAccepted(serial);
        else if (serial.silenceMs <= 1000 || serial.silenceMs > 1000 + pieces.idleStepMs)
            std::abort(); // a failure is a silence of more than 1000 ms, seen at the first read after it
        return 0;
    }

    if (sendStalls) {
        // Nothing is received behind a send that did not go out, whatever is waiting.
        pieces.sendStalls = true;
        const Result cut = run(Transport::Tcp, pieces, expected);
        if (cut.accepted || !cut.frame.empty() || cut.elapsedMs != 1000)
            std::abort();
        return 0;
    }

    const Result want = model(stream, length, expected);
    const Result net = run(Transport::Tcp, pieces, expected);
    if (net.accepted != want.accepted || net.frame != want.frame)
        std::abort();
    if (net.accepted)
        checkAccepted(net);
    // Every byte is there at once: accepted without waiting, or failed when the deadline
    // 1000 ms after the send has passed by the millisecond the wait adds.
    if (net.elapsedMs != (net.accepted ? 0u : 1001u))
        std::abort();
    return 0;
}
