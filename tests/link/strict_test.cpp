// The strict answer rule: which frame is the answer, byte by byte, and what the exchange
// does around it (exception, dropped frames, the drain, a lost link), on scripted IO with
// a fake clock so that every time is exact.
#include "link/readerlink.h"
#include "linkfakes.h"

#include <gtest/gtest.h>

using namespace relvix;
using namespace linktest;

namespace {

struct Verdicts {
    std::string verdicts; // one letter per frame found: A answer, E exception, F foreign
    int start = -1, length = 0;
    int code = 0;
};

Verdicts match(const Bytes &request, const Bytes &stream, std::int32_t expected = 0)
{
    std::array<std::uint8_t, kFrameBufferSize> buffer{};
    std::int32_t length = 0;
    StrictMatcher m(buffer.data(), length, request.data(), int(request.size()), expected);
    Verdicts v;
    for (std::uint8_t b : stream) {
        const auto verdict = m.push(b);
        if (verdict == StrictMatcher::Verdict::More)
            continue;
        v.verdicts += verdict == StrictMatcher::Verdict::Answer      ? 'A'
                      : verdict == StrictMatcher::Verdict::Exception ? 'E'
                                                                     : 'F';
        v.start = m.frameStart();
        v.length = m.frameLength();
        v.code = m.exceptionCode();
        if (verdict != StrictMatcher::Verdict::Foreign)
            break;
    }
    return v;
}

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

const Bytes kReadAt2 = hexBytes("02 03 01 00 00 01 85 C5"); // address register of slave 2
const Bytes kAnswerOf1 = hexBytes("01 03 02 00 01 79 84");  // slave 1's answer to the same read
const Bytes kAnswerOf2 = withCrc({0x02, 0x03, 0x02, 0x00, 0x02});

} // namespace

TEST(StrictMatcher, OnlyTheAnswerToThisRequestIsTheAnswer)
{
    const Bytes writeReq = withCrc({0x01, 0x06, 0x01, 0x11, 0xF0, 0x0F});
    const Bytes custom = withCrc({0x05, 0x41, 0x01});
    const struct {
        const char *name;
        Bytes request, stream;
        std::int32_t expected;
        std::string verdicts;
        int start, length, code;
    } cases[] = {
        {"its own answer", kReadAt2, kAnswerOf2, 7, "A", 0, 7, 0},
        {"another slave's answer first", kReadAt2, cat({kAnswerOf1, kAnswerOf2}), 7, "FA", 7, 7, 0},
        {"a byte count other than asked", kReadAt2, withCrc({0x02, 0x03, 0x04, 0, 1, 0, 2}), 0, "F", 0, 9, 0},
        {"its exception", kReadAt2, withCrc({0x02, 0x83, 0x02}), 7, "E", 0, 5, 2},
        {"another slave's exception", kReadAt2, withCrc({0x01, 0x83, 0x02}), 7, "F", 0, 5, 0},
        {"an exception of another function", kReadAt2, withCrc({0x02, 0x86, 0x02}), 7, "F", 0, 5, 0},
        {"noise before the answer", kReadAt2, cat({{0xFF, 0x00, 0x13}, kAnswerOf2}), 7, "A", 3, 7, 0},
        {"a wrong CRC", kReadAt2, {0x02, 0x03, 0x02, 0x00, 0x02, 0x00, 0x00}, 7, "", -1, 0, 0},
        {"its echo", writeReq, writeReq, 8, "A", 0, 8, 0},
        {"an echo of another value", writeReq, withCrc({0x01, 0x06, 0x01, 0x11, 0xF0, 0x00}), 8, "F", 0, 8, 0},
        {"a read answer to a write", writeReq, withCrc({0x01, 0x03, 0x02, 0xF0, 0x0F}), 8, "F", 0, 7, 0},
        {"a function the frame does not measure", withCrc({0x05, 0x41}), custom, 5, "A", 0, 5, 0},
    };
    for (const auto &c : cases) {
        const Verdicts v = match(c.request, c.stream, c.expected);
        EXPECT_EQ(v.verdicts, c.verdicts) << c.name;
        EXPECT_EQ(v.start, c.start) << c.name;
        EXPECT_EQ(v.length, c.length) << c.name;
        EXPECT_EQ(v.code, c.code) << c.name;
    }
}

namespace {

class Strict : public ::testing::Test, public FrameObserver {
protected:
    Strict() : host(log), opener(log), link(host, clock, opener)
    {
        link.setAnswerRule(AnswerRule::Strict);
        link.addObserver(this);
    }
    void frameEvent(const FrameEvent &e) override { events.push_back(e); }

    FakeSerial &openSerial()
    {
        auto s = std::make_unique<FakeSerial>(clock, log);
        FakeSerial &ref = *s;
        opener.nextSerial = std::move(s);
        link.state.transport = Transport::Serial;
        EXPECT_TRUE(link.OpenLink());
        return ref;
    }
    FakeNet &openNet()
    {
        auto n = std::make_unique<FakeNet>(clock, log);
        FakeNet &ref = *n;
        opener.nextNet = std::move(n);
        link.state.transport = Transport::Tcp;
        EXPECT_TRUE(link.OpenLink());
        return ref;
    }
    bool readAddress(std::uint16_t slave)
    {
        const Bytes payload = hexBytes("01 00 00 01");
        return link.ExchangeFrame(slave, 3, 7, payload.data(), 4);
    }
    Bytes response() const
    {
        return Bytes(link.state.response.begin(), link.state.response.begin() + link.state.responseLength);
    }
    int count(FrameEvent::Kind kind) const
    {
        return int(std::count_if(events.begin(), events.end(), [&](const FrameEvent &e) { return e.kind == kind; }));
    }

    EventLog log;
    FakeClock clock;
    FakeHost host;
    FakeOpener opener;
    // Before the link: its destructor closes and tells this observer.
    std::vector<FrameEvent> events;
    ReaderLink link;
};

} // namespace

TEST_F(Strict, AnExceptionEndsTheExchangeAtOnceWithItsCode)
{
    for (bool net : {false, true}) {
        events.clear();
        const Bytes exception = withCrc({0x02, 0x83, 0x02});
        if (net)
            openNet().arrive(15, exception);
        else
            openSerial().arrive(15, exception);
        const std::uint32_t start = clock.now;
        EXPECT_FALSE(readAddress(2));
        EXPECT_LT(clock.now - start, 50u) << net;
        EXPECT_EQ(link.lastResult().outcome, Outcome::Exception);
        EXPECT_EQ(link.lastResult().exceptionCode, 2);
        EXPECT_EQ(response(), exception);
        ASSERT_EQ(events.back().kind, FrameEvent::Kind::NoResponse);
        EXPECT_EQ(events.back().outcome, Outcome::Exception);
        EXPECT_EQ(events.back().exceptionCode, 2);
        EXPECT_EQ(frameEventText(events.back()).toStdString(),
                  "FAIL slave 2: " + hexSpaced(exception) + "(5 bytes: exception 02 (illegal data address))");
        link.CloseLink();
    }
}

TEST_F(Strict, AnotherSlavesFrameIsDroppedAndToldAndTheAnswerStillTaken)
{
    FakeSerial &port = openSerial();
    port.arrive(10, kAnswerOf1);
    port.arrive(30, kAnswerOf2);
    EXPECT_TRUE(readAddress(2));
    EXPECT_EQ(response(), kAnswerOf2);
    EXPECT_EQ(link.lastResult().dropped, 1);
    ASSERT_EQ(count(FrameEvent::Kind::Dropped), 1);
    EXPECT_EQ(frameEventText(events[2]).toStdString(),
              "DROP slave 2: 01 03 02 00 01 79 84 (mismatch: from slave 1, not the answer)");

    // Only a foreign frame: at the time-out the outcome says what came.
    port.arrive(10, kAnswerOf1);
    EXPECT_FALSE(readAddress(3));
    EXPECT_EQ(link.lastResult().outcome, Outcome::Mismatch);
}

// After a failed exchange the next request to the same reader waits one time-out of quiet
// counted from the failure, so a late answer (same length as the next answer) is drained
// and dropped; a request to another address goes out at once.
TEST_F(Strict, AFailedExchangeIsDrainedBeforeTheNextRequest)
{
    FakeSerial &port = openSerial();
    port.arrive(1200, kAnswerOf2); // 200 ms after the time-out
    EXPECT_FALSE(readAddress(2));
    EXPECT_EQ(link.lastResult().outcome, Outcome::Silence);
    const std::uint32_t firstWrite = port.writeTime;
    port.arrive(10, withCrc({0x02, 0x03, 0x02, 0x00, 0x07}));
    EXPECT_TRUE(readAddress(2));
    EXPECT_EQ(port.writeTime - firstWrite, 2200u); // one time-out of quiet after the late bytes
    EXPECT_EQ(response()[4], 0x07);                // the answer to this request, not the late one
    ASSERT_EQ(count(FrameEvent::Kind::Dropped), 1);

    EXPECT_FALSE(readAddress(2));
    const std::uint32_t again = clock.now;
    readAddress(3);
    EXPECT_LE(port.writeTime - again, 1u);
    EXPECT_EQ(link.shortGuardMs(), 4); // four characters at 19200 baud, and a millisecond
}

TEST_F(Strict, ALostLinkEndsTheExchangeAndEveryOneAfterIt)
{
    FakeSerial &port = openSerial();
    port.failWhen = [](std::uint32_t since) { return since >= 5; };
    EXPECT_FALSE(readAddress(1));
    EXPECT_EQ(link.lastResult().outcome, Outcome::LinkLost);
    EXPECT_LT(clock.now - port.writeTime, 10u);
    EXPECT_TRUE(link.lost());
    const std::size_t writes = port.writes.size();
    EXPECT_FALSE(readAddress(1));
    EXPECT_EQ(port.writes.size(), writes);
    EXPECT_EQ(link.lastResult().outcome, Outcome::LinkLost);
    link.CloseLink();

    FakeNet &net = openNet();
    net.closeAt(20);
    EXPECT_FALSE(readAddress(1));
    EXPECT_EQ(link.lastResult().outcome, Outcome::PeerClosed);
    EXPECT_LT(clock.now - net.sendTime, 30u); // not waited out, as the window's rule does
}

// What the strict rule names when no answer came, and what it does around an answer, on
// each transport: one row per line condition.
TEST_F(Strict, TheLineConditionsAreNamedNeverTakenForAResult)
{
    const Bytes read = kReadAt2;
    const Bytes write = withCrc({0x02, 0x06, 0x01, 0x11, 0xF0, 0x0F});
    const Bytes noise = {0x13, 0x37, 0xFF, 0x00, 0x5A};
    const struct Row {
        const char *name;
        bool net;
        EchoMode echo;
        bool isWrite;
        std::vector<std::pair<std::uint32_t, Bytes>> arrivals;
        bool answered;
        Outcome outcome;
        std::uint32_t atMost; // ms from the request to the end of the exchange
    } rows[] = {
        {"collision garbage",
         false,
         EchoMode::Auto,
         false,
         {{10, {0x02, 0x03, 0x02, 0x61, 0x00, 0x7F, 0x13}}},
         false,
         Outcome::Garbled,
         1020},
        {"noise only", true, EchoMode::Auto, false, {{5, noise}}, false, Outcome::Garbled, 1010},
        {"echo of a read, then the answer",
         false,
         EchoMode::Auto,
         false,
         {{1, read}, {20, kAnswerOf2}},
         true,
         Outcome::None,
         40},
        {"only the echo of a write (echo on)", false, EchoMode::On, true, {{1, write}}, false, Outcome::EchoOnly, 1020},
        {"echo and answer of a write (echo on)",
         true,
         EchoMode::On,
         true,
         {{1, write}, {20, write}},
         true,
         Outcome::None,
         40},
        {"a write answer without echo (auto)", false, EchoMode::Auto, true, {{20, write}}, true, Outcome::None, 40},
        {"a second answer 1 ms after the first",
         false,
         EchoMode::Auto,
         false,
         {{10, kAnswerOf2}, {11, withCrc({0x02, 0x03, 0x02, 0x00, 0x09})}},
         false,
         Outcome::AnsweredTwice,
         40},
        {"two answers in one chunk",
         true,
         EchoMode::Auto,
         false,
         {{10,
           [&] {
               Bytes both = kAnswerOf2;
               const Bytes other = withCrc({0x02, 0x03, 0x02, 0x00, 0x09});
               both.insert(both.end(), other.begin(), other.end());
               return both;
           }()}},
         false,
         Outcome::AnsweredTwice,
         40},
        {"gateway: no reader behind it",
         true,
         EchoMode::Auto,
         false,
         {{50, withCrc({0x02, 0x83, 0x0B})}},
         false,
         Outcome::Exception,
         60},
    };
    for (const Row &row : rows) {
        link.setEchoMode(row.echo);
        if (row.net) {
            FakeNet &n = openNet();
            for (const auto &[at, bytes] : row.arrivals)
                n.arrive(at, bytes);
        } else {
            FakeSerial &p = openSerial();
            for (const auto &[at, bytes] : row.arrivals)
                p.arrive(at, bytes);
        }
        const std::uint32_t start = clock.now;
        const Bytes payload = row.isWrite ? hexBytes("01 11 F0 0F") : hexBytes("01 00 00 01");
        const bool answered = link.ExchangeFrame(2, row.isWrite ? 6 : 3, row.isWrite ? 8 : 7, payload.data(), 4);
        EXPECT_EQ(answered, row.answered) << row.name;
        EXPECT_EQ(link.lastResult().outcome, row.outcome) << row.name;
        EXPECT_LE(clock.now - start, row.atMost) << row.name;
        if (row.answered) {
            EXPECT_EQ(response(), row.isWrite ? write : kAnswerOf2) << row.name;
        }
        if (row.outcome == Outcome::Garbled) {
            EXPECT_GT(link.lastResult().garbledBytes, 0) << row.name;
        }
        if (row.outcome == Outcome::Exception) {
            EXPECT_EQ(link.lastResult().exceptionCode, 0x0B);
            EXPECT_TRUE(NobodyAnswered(link.lastResult()));
        }
        link.CloseLink();
        clock.now += 5000; // the next row's drain finds a quiet line
    }
}

TEST_F(Strict, NoiseDoesNotStretchTheSilenceAndABusyReadIsAskedAgain)
{
    // A stray byte every 30 ms: the silence still ends 1000 ms after the request.
    FakeSerial &port = openSerial();
    for (std::uint32_t t = 30; t < 3000; t += 30)
        port.arrive(t, {0x55});
    const std::uint32_t start = clock.now;
    EXPECT_FALSE(readAddress(2));
    EXPECT_EQ(link.lastResult().outcome, Outcome::Garbled);
    EXPECT_LE(clock.now - start, 1002u);
    link.CloseLink();

    // Busy twice, then the answer: three tries with --retries 2, none with 0.
    for (int retries : {2, 0}) {
        link.setBusyRetries(retries, 100);
        int sends = 0;
        struct Busy : FrameObserver {
            int *sends;
            FakeNet *net;
            void frameEvent(const FrameEvent &e) override
            {
                if (e.kind != FrameEvent::Kind::Request)
                    return;
                ++*sends;
                net->arrive(5, *sends < 3 ? withCrc({0x02, 0x83, 0x06}) : kAnswerOf2);
            }
        } busy;
        FakeNet &n = openNet();
        busy.sends = &sends;
        busy.net = &n;
        link.addObserver(&busy);
        const bool ok = readAddress(2);
        link.removeObserver(&busy);
        EXPECT_EQ(ok, retries == 2);
        EXPECT_EQ(link.lastResult().tries, retries == 2 ? 3 : 1);
        EXPECT_EQ(sends, retries == 2 ? 3 : 1);
        link.CloseLink();
        clock.now += 5000;
    }
}
