// The exchange's receive side fed arbitrary byte streams: over the network path in one
// piece and in fuzzer-chosen chunks, and over the serial path byte by byte. All three must
// agree with a plain model of the receive rule, and an accepted frame must carry a good CRC
// and a length from the expected one to 1499.
#include "link/crc16.h"
#include "link/readerlink.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <vector>

using namespace relvix;

namespace {

struct NullHost : ExchangeHost {
    void processMessages() override {}
    void showTransmitText(const QString &) override {}
    void showReceiveText(const QString &) override {}
};

struct FakeClock : Clock {
    std::uint32_t nowMs() override { return now; }
    std::uint32_t now = 0;
};

struct Script {
    std::deque<std::vector<std::uint8_t>> chunks;
    FakeClock *clock = nullptr;
};

struct ChunkNet : NetIo {
    explicit ChunkNet(Script &s) : s_(s) {}
    bool waitReadable(int timeoutMs) override
    {
        if (sent_ && !s_.chunks.empty())
            return true;
        s_.clock->now += std::uint32_t(timeoutMs > 0 ? timeoutMs : 0);
        return false;
    }
    int receive(std::uint8_t *bytes, int maxCount) override
    {
        if (s_.chunks.empty())
            return 0;
        auto &c = s_.chunks.front();
        const int n = std::min<int>(maxCount, int(c.size()));
        std::copy(c.begin(), c.begin() + n, bytes);
        c.erase(c.begin(), c.begin() + n);
        if (c.empty())
            s_.chunks.pop_front();
        return n;
    }
    Send send(const std::uint8_t *, int, int) override
    {
        sent_ = true;
        return Send::Done;
    }
    Script &s_;
    bool sent_ = false;
};

struct ByteSerial : SerialIo {
    explicit ByteSerial(Script &s) : s_(s) {}
    void purge() override {}
    void write(const std::uint8_t *, int) override {}
    Read readByte(std::uint8_t &b) override
    {
        while (!s_.chunks.empty() && s_.chunks.front().empty())
            s_.chunks.pop_front();
        if (s_.chunks.empty()) {
            s_.clock->now += 1;
            return Read::Nothing;
        }
        b = s_.chunks.front().front();
        s_.chunks.front().erase(s_.chunks.front().begin());
        return Read::Byte;
    }
    qint32 baudRate() const override { return 115200; }
    Script &s_;
};

struct Opener : LinkOpener {
    Script *script = nullptr;
    std::unique_ptr<SerialIo> openSerial(const QString &, const QString &) override
    {
        return std::make_unique<ByteSerial>(*script);
    }
    std::unique_ptr<NetIo> openNetwork(const QString &, const QString &) override
    {
        return std::make_unique<ChunkNet>(*script);
    }
};

struct Outcome {
    bool accepted = false;
    std::vector<std::uint8_t> frame;
};

Outcome model(const std::vector<std::uint8_t> &stream, int expected)
{
    if (expected == 0)
        expected = 7;
    if (expected < 4)
        expected = 4;
    std::vector<std::uint8_t> buf;
    for (std::uint8_t b : stream) {
        buf.push_back(b);
        if (buf.size() == kFrameBufferSize) {
            buf.clear();
            continue;
        }
        const int n = int(buf.size());
        if (n < expected)
            continue;
        const std::uint16_t crc = Crc16(n - 2, buf.data());
        if ((crc & 0xFF) == buf[n - 2] && (crc >> 8) == buf[n - 1])
            return {true, buf};
    }
    return {false, {}};
}

Outcome run(std::uint8_t kind, std::deque<std::vector<std::uint8_t>> chunks, int expected)
{
    NullHost host;
    FakeClock clock;
    Script script{std::move(chunks), &clock};
    Opener opener;
    opener.script = &script;
    ReaderLink link(host, clock, opener);
    link.state.kind = kind;
    if (!link.OpenLink())
        std::abort();
    const std::uint8_t payload[] = {0x01, 0x00, 0x00, 0x01};
    Outcome o;
    o.accepted = link.ExchangeFrame(1, 3, expected, payload, sizeof payload);
    const int n = link.state.responseLength;
    if (n < 0 || n >= kFrameBufferSize)
        std::abort();
    if (o.accepted)
        o.frame.assign(link.state.response.begin(), link.state.response.begin() + n);
    link.CloseLink();
    return o;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2)
        return 0;
    const int expectedChoices[] = {0, 7, 8, 9, 11, 21, 4, 3};
    const int expected = expectedChoices[data[0] % 8];
    std::uint32_t seed = data[1];
    const std::vector<std::uint8_t> stream(data + 2, data + size);
    if (stream.size() > 4000)
        return 0;

    const Outcome want = model(stream, expected);

    const Outcome whole = run(1, {stream}, expected);
    std::deque<std::vector<std::uint8_t>> pieces;
    for (std::size_t i = 0; i < stream.size();) {
        seed = seed * 1103515245u + 12345u;
        const std::size_t len = std::min<std::size_t>(1 + (seed >> 16) % 40, stream.size() - i);
        pieces.emplace_back(stream.begin() + long(i), stream.begin() + long(i + len));
        i += len;
    }
    const Outcome chunked = run(1, pieces, expected);
    const Outcome serial = run(0, {stream}, expected);

    for (const Outcome *o : {&whole, &chunked, &serial}) {
        if (o->accepted != want.accepted || o->frame != want.frame)
            std::abort();
        if (o->accepted) {
            const int n = int(o->frame.size());
            if (n < 4 || n > kFrameBufferSize - 1)
                std::abort();
            const std::uint16_t crc = Crc16(n - 2, o->frame.data());
            if ((crc & 0xFF) != o->frame[n - 2] || (crc >> 8) != o->frame[n - 1])
                std::abort();
        }
    }
    return 0;
}
