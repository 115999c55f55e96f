// The reader link over scripted IO: open/close, the request frame, and the receive rule
// with its time-outs on the serial and the network path.
#include "link/readerlink.h"
#include "linkfakes.h"

#include <gtest/gtest.h>

using namespace relvix;
using namespace linktest;

namespace {

class LinkTest : public ::testing::Test {
protected:
    LinkTest() : host(log), opener(log), link(host, clock, opener) { link.addObserver(&host); }

    FakeSerial &openSerial(qint32 baud = 19200)
    {
        auto s = std::make_unique<FakeSerial>(clock, log);
        s->baud = baud;
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
    bool exchange(const Bytes &payload, std::int32_t expected, std::uint16_t slave = 1, std::uint16_t function = 3)
    {
        return link.ExchangeFrame(slave, function, expected, payload.data(),
                                  static_cast<std::uint16_t>(payload.size()));
    }
    Bytes response() const
    {
        return Bytes(link.state.response.begin(), link.state.response.begin() + link.state.responseLength);
    }
    bool restOfBufferIsZero() const
    {
        return std::all_of(link.state.response.begin() + link.state.responseLength, link.state.response.end(),
                           [](std::uint8_t b) { return b == 0; });
    }

    EventLog log;
    FakeClock clock;
    FakeHost host;
    FakeOpener opener;
    ReaderLink link;
};

const Bytes kReadAddress = hexBytes("01 00 00 01"); // register 0x0100, one register

} // namespace

// ---- open and close -----------------------------------------------------------------

TEST_F(LinkTest, OpenEmptiesBothFieldsBeforeOpeningThePort)
{
    link.state.portName = QStringLiteral("/dev/pts/9");
    link.state.serialMode = QStringLiteral("19200,e,8,1");
    opener.nextSerial = std::make_unique<FakeSerial>(clock, log);
    EXPECT_TRUE(link.OpenLink());
    ASSERT_EQ(log.events.size(), 3u);
    EXPECT_EQ(log.events[0], "showTX:");
    EXPECT_EQ(log.events[1], "showRX:");
    EXPECT_EQ(log.events[2], "openSerial:/dev/pts/9|19200,e,8,1");
    EXPECT_TRUE(link.isOpen());
    EXPECT_EQ(link.openCount(), 1);
}

TEST_F(LinkTest, KindOneOpensTheNetworkEveryOtherKindTheSerialPort)
{
    link.state.peerAddress = QStringLiteral("127.0.0.1");
    link.state.peerPort = QStringLiteral("4001");
    link.state.portName = QStringLiteral("ttyX");
    link.state.serialMode = QStringLiteral("9600,n,8,1");
    link.state.transport = Transport::Tcp;
    opener.nextNet = std::make_unique<FakeNet>(clock, log);
    EXPECT_TRUE(link.OpenLink());
    EXPECT_EQ(log.events.back(), "openNetwork:127.0.0.1|4001");
    link.CloseLink();
    link.state.transport = Transport::Serial;
    opener.nextSerial = std::make_unique<FakeSerial>(clock, log);
    EXPECT_TRUE(link.OpenLink());
    EXPECT_EQ(log.events.back(), "openSerial:ttyX|9600,n,8,1");
    link.CloseLink();
    EXPECT_EQ(link.openCount(), 2);
    EXPECT_EQ(link.closeCount(), 2);
}

TEST_F(LinkTest, FailedOpenLeavesNothingOpenButStillEmptiesTheFields)
{
    link.state.transport = Transport::Tcp; // the opener has nothing to hand out
    EXPECT_FALSE(link.OpenLink());
    EXPECT_EQ(log.events[0], "showTX:");
    EXPECT_EQ(log.events[1], "showRX:");
    EXPECT_FALSE(link.isOpen());
    EXPECT_EQ(link.openCount(), 0);
    link.CloseLink();
    EXPECT_EQ(link.closeCount(), 0);
    link.state.transport = Transport::Serial;
    EXPECT_FALSE(link.OpenLink());
    EXPECT_FALSE(link.isOpen());
}

TEST_F(LinkTest, CloseReleasesThePortAndCountsOnlyRealCloses)
{
    openSerial();
    link.CloseLink();
    EXPECT_EQ(log.events.back(), "serial closed");
    EXPECT_FALSE(link.isOpen());
    EXPECT_EQ(link.closeCount(), 1);
    link.CloseLink();
    EXPECT_EQ(link.closeCount(), 1);
    openNet();
    link.CloseLink();
    EXPECT_EQ(log.events.back(), "net closed");
    EXPECT_EQ(link.closeCount(), 2);
}

TEST_F(LinkTest, ExchangeWithoutAnOpenLinkFailsAtOnce)
{
    const std::uint32_t before = clock.now;
    EXPECT_FALSE(exchange(kReadAddress, 7));
    EXPECT_EQ(clock.now, before);
    EXPECT_EQ(link.state.responseLength, 0);
    EXPECT_EQ(host.shownTx.back(), QStringLiteral("01 03 01 00 00 01 85 F6 "));
}

// ---- the request ---------------------------------------------------------------------

TEST_F(LinkTest, DocumentedRequestsGoOutByteForByteWithTheirText)
{
    const char *const frames[] = {
        "01 03 01 00 00 01 85 F6", "01 03 01 07 00 03 B5 F6", "01 03 01 10 00 02 C4 32", "01 06 01 11 FF FF D9 83",
        "01 06 01 00 00 05 48 35", "01 06 01 00 00 FE 09 B6", "01 06 01 0A 00 01 69 F4", "01 06 01 0A 00 02 29 F5",
        "01 03 01 12 00 08 E5 F5", "01 03 01 1B 00 08 35 F7", "01 06 01 12 00 01 E9 F3", "01 06 01 1B 00 01 39 F1",
    };
    FakeSerial &port = openSerial();
    for (const char *text : frames) {
        const Bytes frame = hexBytes(text);
        const Bytes payload(frame.begin() + 2, frame.end() - 2);
        exchange(payload, 7, frame[0], frame[1]);
        EXPECT_EQ(port.writes.back(), frame) << text;
        EXPECT_EQ(link.state.transmitText.toStdString(), std::string(text) + " ");
        EXPECT_EQ(host.shownTx.back(), link.state.transmitText);
    }
}

TEST_F(LinkTest, EmptyPayloadGivesAFourByteFrame)
{
    FakeSerial &port = openSerial();
    exchange({}, 7);
    // 01 03 and CRC-16/MODBUS 0x2140, low byte first.
    EXPECT_EQ(port.writes.back(), hexBytes("01 03 40 21"));
    EXPECT_EQ(link.state.transmitText, QStringLiteral("01 03 40 21 "));
}

TEST_F(LinkTest, OnlyTheLowBytesOfSlaveAndFunctionAreSent)
{
    FakeSerial &port = openSerial();
    exchange({}, 7, 300, 0x0103); // 300 = 0x012C
    EXPECT_EQ(port.writes.back(), hexBytes("2C 03 5D 71"));
}

TEST_F(LinkTest, TransmitTextIsShownBeforeAnythingIsSent)
{
    openSerial();
    log.events.clear();
    exchange(kReadAddress, 7);
    EXPECT_EQ(log.events[0], "showTX:01 03 01 00 00 01 85 F6 ");
    EXPECT_EQ(log.events[1], "purge");
    EXPECT_EQ(log.events[2], "write");

    link.CloseLink();
    openNet();
    log.events.clear();
    exchange(kReadAddress, 7);
    EXPECT_EQ(log.events[0], "showTX:01 03 01 00 00 01 85 F6 ");
    EXPECT_EQ(log.events[1], "send");
}

// ---- serial path ---------------------------------------------------------------------

TEST_F(LinkTest, SerialAcceptsAResponseAndShowsIt)
{
    FakeSerial &port = openSerial();
    const Bytes reply = withCrc({0x01, 0x03, 0x02, 0x00, 0x01});
    port.arrive(20, reply);
    EXPECT_TRUE(exchange(kReadAddress, 7));
    EXPECT_EQ(response(), reply);
    EXPECT_TRUE(restOfBufferIsZero());
    EXPECT_EQ(link.state.receiveText.toStdString(), hexSpaced(reply));
    ASSERT_EQ(host.shownRx.size(), 2u); // the empty text of the open, then the response
    EXPECT_EQ(host.shownRx.back(), link.state.receiveText);
    EXPECT_EQ(clock.now - port.writeTime, 20u);
}

TEST_F(LinkTest, SerialExpectedZeroActsAsSevenAndExceptionRepliesTimeOut)
{
    FakeSerial &port = openSerial();
    port.arrive(5, exceptionReply());
    EXPECT_FALSE(exchange(kReadAddress, 0));
    EXPECT_EQ(link.state.responseLength, 5);
    EXPECT_EQ(response(), exceptionReply());
    // Silence counted from the fifth byte at 5 ms: the failure comes at 1006 ms.
    EXPECT_EQ(clock.now - port.writeTime, 1006u);
}

TEST_F(LinkTest, SerialSilenceOf900MsInsideAResponseIsAccepted)
{
    FakeSerial &port = openSerial();
    const Bytes reply = readThreeRegisters();
    port.arrive(10, Bytes(reply.begin(), reply.begin() + 5));
    port.arrive(910, Bytes(reply.begin() + 5, reply.end()));
    EXPECT_TRUE(exchange(kReadAddress, 11));
    EXPECT_EQ(response(), reply);
}

TEST_F(LinkTest, SerialSilenceOverTheTimeOutFailsEvenAfterBytes)
{
    FakeSerial &port = openSerial();
    const Bytes reply = readThreeRegisters();
    port.arrive(10, Bytes(reply.begin(), reply.begin() + 5));
    port.arrive(1110, Bytes(reply.begin() + 5, reply.end()));
    EXPECT_FALSE(exchange(kReadAddress, 11));
    EXPECT_EQ(link.state.responseLength, 5);
    // The silence is counted from the last byte (10 ms) and ends the exchange past 1000 ms.
    EXPECT_EQ(clock.now - port.writeTime, 1011u);
}

TEST_F(LinkTest, SerialSilenceIsCountedFromTheWrite)
{
    FakeSerial &port = openSerial();
    port.arrive(999, writeEcho());
    EXPECT_TRUE(exchange(hexBytes("01 0A 00 01"), 8, 1, 6));

    port.arrive(1002, writeEcho()); // nothing at all for more than 1000 ms
    EXPECT_FALSE(exchange(hexBytes("01 0A 00 01"), 8, 1, 6));
    EXPECT_EQ(link.state.responseLength, 0);
    EXPECT_EQ(clock.now - port.writeTime, 1001u);
}

TEST_F(LinkTest, SerialFailedReadsCountAsEmptyTurns)
{
    FakeSerial &port = openSerial();
    port.failWhen = [](std::uint32_t) { return true; };
    port.arrive(400, writeEcho());
    EXPECT_TRUE(exchange(hexBytes("01 0A 00 01"), 8, 1, 6));
    EXPECT_EQ(port.failedReads, 400);

    port.failedReads = 0;
    EXPECT_FALSE(exchange(hexBytes("01 0A 00 01"), 8, 1, 6));
    EXPECT_EQ(clock.now - port.writeTime, 1001u);
    EXPECT_EQ(port.failedReads, 1001);
}

TEST_F(LinkTest, SerialProcessesMessagesInEveryTurnAndAgainAfterAnEmptyOne)
{
    FakeSerial &port = openSerial();
    port.arrive(30, readThreeRegisters());
    EXPECT_TRUE(exchange(kReadAddress, 11));
    EXPECT_EQ(host.processCalls, port.reads + port.emptyReads);
    EXPECT_GE(port.emptyReads, 30);

    host.processCalls = 0;
    port.reads = port.emptyReads = 0;
    EXPECT_FALSE(exchange(kReadAddress, 11)); // nothing comes
    EXPECT_EQ(port.reads, 1001);
    EXPECT_EQ(host.processCalls, 2 * 1001);
}

TEST_F(LinkTest, SerialStaleBytesArePurged)
{
    FakeSerial &port = openSerial();
    port.stale = hexBytes("DE AD BE EF 00 11");
    port.arrive(15, writeEcho());
    EXPECT_TRUE(exchange(hexBytes("01 0A 00 01"), 8, 1, 6));
    EXPECT_EQ(port.purges, 1);
    EXPECT_EQ(response(), writeEcho());
}

TEST_F(LinkTest, SerialOtherSlaveAndFunctionAreAccepted)
{
    FakeSerial &port = openSerial();
    const Bytes reply = withCrc({0x09, 0x04, 0x02, 0xAB, 0xCD});
    port.arrive(5, reply);
    EXPECT_TRUE(exchange(kReadAddress, 7));
    EXPECT_EQ(response(), reply);
}

TEST_F(LinkTest, SerialElevenBytesWithExpectedSevenAreAcceptedAtEleven)
{
    FakeSerial &port = openSerial();
    const Bytes reply = readThreeRegisters();
    for (std::size_t n = 7; n < 11; ++n)
        ASSERT_FALSE(crcMatchesAt(reply, n));
    port.arrive(5, reply);
    EXPECT_TRUE(exchange(kReadAddress, 7));
    EXPECT_EQ(link.state.responseLength, 11);
}

TEST_F(LinkTest, SerialWrapAt1500AndALongestResponse)
{
    FakeSerial &port = openSerial(115200);
    port.arrive(5, Bytes(1500, 0x00)); // abandoned at the 1500th byte
    port.arrive(6, writeEcho());
    EXPECT_TRUE(exchange(hexBytes("01 0A 00 01"), 8, 1, 6));
    EXPECT_EQ(response(), writeEcho());

    Bytes body{0x01, 0x03};
    for (int i = 0; i < 1495; ++i)
        body.push_back(static_cast<std::uint8_t>(i));
    const Bytes longest = withCrc(body);
    port.arrive(7, longest);
    EXPECT_TRUE(exchange(kReadAddress, 1499));
    EXPECT_EQ(link.state.responseLength, 1499);
    EXPECT_EQ(response(), longest);
}

TEST_F(LinkTest, SerialFailureKeepsTheLastAcceptedTextButDescribesItsOwnBytes)
{
    FakeSerial &port = openSerial();
    const Bytes first = readThreeRegisters();
    port.arrive(5, first);
    ASSERT_TRUE(exchange(kReadAddress, 11));
    const QString accepted = link.state.receiveText;
    const std::size_t shown = host.shownRx.size();

    // The next exchange of the same operation: three stray bytes, then silence.
    port.arrive(5, hexBytes("01 03 04"));
    EXPECT_FALSE(exchange(hexBytes("01 10 00 02"), 11));
    EXPECT_EQ(link.state.receiveText, accepted);
    EXPECT_EQ(host.shownRx.size(), shown); // the window keeps showing it too
    EXPECT_EQ(host.shownRx.back(), accepted);
    EXPECT_EQ(link.state.responseLength, 3);
    EXPECT_EQ(response(), hexBytes("01 03 04"));
    EXPECT_TRUE(restOfBufferIsZero()); // the earlier 11 bytes are gone
    EXPECT_EQ(link.state.transmitText, QStringLiteral("01 03 01 10 00 02 C4 32 "));
    EXPECT_EQ(host.shownTx.back(), link.state.transmitText);
}

TEST_F(LinkTest, SerialElapsedTimeSurvivesTheClockWrap)
{
    clock.now = 0xFFFFFF00u; // 256 ms before the 32-bit clock wraps
    FakeSerial &port = openSerial();
    const Bytes reply = readThreeRegisters();
    port.arrive(10, Bytes(reply.begin(), reply.begin() + 4));
    port.arrive(910, Bytes(reply.begin() + 4, reply.end())); // across the wrap
    EXPECT_TRUE(exchange(kReadAddress, 11));
    EXPECT_FALSE(exchange(kReadAddress, 11));
    EXPECT_EQ(clock.now - port.writeTime, 1001u);
}

TEST_F(LinkTest, SerialOverallBoundFollowsTheLineSpeed)
{
    // 2 x 1000 ms plus 1500 characters of 11 bits, rounded up to whole milliseconds.
    EXPECT_EQ(link.serialOverallBoundMs(), 2000u + 13750u); // nothing open: 1200 baud
    openSerial(9600);
    EXPECT_EQ(link.serialOverallBoundMs(), 2000u + 1719u); // 1718.75
    link.CloseLink();
    openSerial(115200);
    EXPECT_EQ(link.serialOverallBoundMs(), 2000u + 144u); // 143.23
    link.CloseLink();
    // Speeds below 1200 baud, however they were typed, count as 1200: the bound never
    // passes 15.75 s (50 baud would give 332 s, 1 baud 4.6 hours).
    for (qint32 slow : {0, 1, 50, 600, 1200}) {
        link.CloseLink();
        openSerial(slow);
        EXPECT_EQ(link.serialOverallBoundMs(), 2000u + 13750u) << slow;
    }
}

TEST_F(LinkTest, SerialEndlessStreamEndsAtTheOverallBound)
{
    struct Case {
        qint32 baud;
        std::uint32_t bound;
    };
    // 859.375 ms of wire time at 19200; 50 and 1 baud are held to the 1200 baud figure.
    for (const Case c : {Case{19200, 2000u + 860u}, Case{50, 15750u}, Case{1, 15750u}}) {
        FakeSerial &port = openSerial(c.baud);
        port.endless = true; // zero bytes never carry a matching CRC
        EXPECT_FALSE(exchange(kReadAddress, 7));
        EXPECT_EQ(link.serialOverallBoundMs(), c.bound) << c.baud;
        EXPECT_GT(clock.now - port.writeTime, c.bound) << c.baud;
        EXPECT_LE(clock.now - port.writeTime, c.bound + 2) << c.baud;
        link.CloseLink();
    }
}

TEST_F(LinkTest, SerialBoundStillLetsASlowLongResponseWithAPauseThrough)
{
    // 1499 bytes at 1200 baud (about 9.17 ms a character), a 900 ms pause in the middle,
    // first byte after 500 ms: about 15.1 s in all, inside the 15.75 s bound.
    FakeSerial &port = openSerial(1200);
    Bytes body{0x01, 0x03};
    for (int i = 0; i < 1495; ++i)
        body.push_back(static_cast<std::uint8_t>(i * 13));
    const Bytes longest = withCrc(body);
    std::vector<std::uint32_t> at;
    for (std::size_t i = 0; i < longest.size(); ++i)
        at.push_back(500 + static_cast<std::uint32_t>(i * 11 * 1000 / 1200) + (i >= 700 ? 900 : 0));
    port.arriveEach(at, longest);
    EXPECT_TRUE(exchange(kReadAddress, 1499));
    EXPECT_EQ(response(), longest);
    EXPECT_GT(clock.now - port.writeTime, 14000u);
}

// ---- network path --------------------------------------------------------------------

TEST_F(LinkTest, NetworkAcceptsChunksAndNeverProcessesMessages)
{
    FakeNet &net = openNet();
    const Bytes reply = readThreeRegisters();
    net.arrive(5, Bytes(reply.begin(), reply.begin() + 2));
    net.arrive(200, Bytes(reply.begin() + 2, reply.begin() + 9));
    net.arrive(600, Bytes(reply.begin() + 9, reply.end()));
    EXPECT_TRUE(exchange(kReadAddress, 11));
    EXPECT_EQ(response(), reply);
    EXPECT_EQ(link.state.receiveText.toStdString(), hexSpaced(reply));
    EXPECT_EQ(host.shownRx.back(), link.state.receiveText);
    EXPECT_EQ(clock.now - net.sendTime, 600u);
    EXPECT_EQ(host.processCalls, 0);
    ASSERT_EQ(net.sends.size(), 1u);
    EXPECT_EQ(net.sends[0], hexBytes("01 03 01 00 00 01 85 F6"));
}

TEST_F(LinkTest, NetworkWaitsInTheSystemUpToTheDeadline)
{
    FakeNet &net = openNet();
    EXPECT_FALSE(exchange(kReadAddress, 7));
    // The stale look, then one wait that reaches a millisecond past the 1000 ms deadline.
    ASSERT_EQ(net.waitTimeouts.size(), 2u);
    EXPECT_EQ(net.waitTimeouts[0], 0);
    EXPECT_EQ(net.waitTimeouts[1], 1001);
    EXPECT_EQ(clock.now - net.sendTime, 1001u);
    EXPECT_EQ(host.processCalls, 0);
}

TEST_F(LinkTest, NetworkResponseCompleteAt1000MsIsAccepted)
{
    FakeNet &net = openNet();
    const Bytes reply = readThreeRegisters();
    net.arrive(1, Bytes(reply.begin(), reply.begin() + 6));
    net.arrive(1000, Bytes(reply.begin() + 6, reply.end()));
    EXPECT_TRUE(exchange(kReadAddress, 11));
}

TEST_F(LinkTest, NetworkResponseCompleteAfter1000MsFailsHoweverEarlyItBegan)
{
    FakeNet &net = openNet();
    const Bytes reply = readThreeRegisters();
    net.arrive(1, Bytes(reply.begin(), reply.begin() + 10));
    net.arrive(1002, Bytes(reply.begin() + 10, reply.end()));
    EXPECT_FALSE(exchange(kReadAddress, 11));
    EXPECT_EQ(link.state.responseLength, 10);
    EXPECT_EQ(clock.now - net.sendTime, 1001u);
}

TEST_F(LinkTest, NetworkDropsBytesBehindTheAcceptedResponse)
{
    FakeNet &net = openNet();
    Bytes chunk = writeEcho();
    chunk.insert(chunk.end(), {0x77, 0x88, 0x99});
    net.arrive(3, chunk);
    EXPECT_TRUE(exchange(hexBytes("01 0A 00 01"), 8, 1, 6));
    EXPECT_EQ(response(), writeEcho());
    EXPECT_TRUE(restOfBufferIsZero());
}

TEST_F(LinkTest, NetworkDiscardsOneStaleReceiveOfUpTo1500BytesAndNoMore)
{
    FakeNet &net = openNet();
    net.stale = {hexBytes("AA BB CC")};
    net.arrive(4, writeEcho());
    EXPECT_TRUE(exchange(hexBytes("01 0A 00 01"), 8, 1, 6));
    EXPECT_EQ(response(), writeEcho());
    EXPECT_EQ(net.receiveMax.front(), 1500);

    // 1600 stale bytes: the discard takes 1500, the other 100 land in front of the reply.
    link.CloseLink();
    FakeNet &big = openNet();
    big.stale = {Bytes(1600, 0x00)};
    big.arrive(4, writeEcho());
    EXPECT_FALSE(exchange(hexBytes("01 0A 00 01"), 8, 1, 6));
    EXPECT_EQ(big.receiveMax.front(), 1500);
    EXPECT_EQ(link.state.responseLength, 108);

    // Two stale chunks: only the first is discarded.
    link.CloseLink();
    FakeNet &two = openNet();
    two.stale = {hexBytes("01 02"), hexBytes("03 04 05")};
    two.arrive(4, writeEcho());
    EXPECT_FALSE(exchange(hexBytes("01 0A 00 01"), 8, 1, 6));
    EXPECT_EQ(link.state.responseLength, 11);
    EXPECT_EQ(response(), (Bytes{0x03, 0x04, 0x05, 0x01, 0x06, 0x01, 0x0A, 0x00, 0x01, 0x69, 0xF4}));
}

TEST_F(LinkTest, NetworkExceptionReplyFailsAtTheDeadline)
{
    FakeNet &net = openNet();
    net.arrive(5, exceptionReply());
    EXPECT_FALSE(exchange(kReadAddress, 0));
    EXPECT_EQ(link.state.responseLength, 5);
    EXPECT_EQ(clock.now - net.sendTime, 1001u);
}

TEST_F(LinkTest, NetworkPeerClosingMidResponseIsWaitedOutWithoutSpinning)
{
    FakeNet &net = openNet();
    const Bytes reply = readThreeRegisters();
    net.arrive(5, Bytes(reply.begin(), reply.begin() + 4));
    net.closeAt(300);
    EXPECT_FALSE(exchange(kReadAddress, 11));
    EXPECT_EQ(link.state.responseLength, 4);
    EXPECT_EQ(net.receiveZero, 1); // asked once, then left alone
    EXPECT_EQ(clock.now - net.sendTime, 1001u);
    EXPECT_EQ(host.processCalls, 0);
}

TEST_F(LinkTest, NetworkFailedReceiveDeliversNoBytes)
{
    FakeNet &net = openNet();
    net.failReceiveAt(2);
    net.arrive(10, writeEcho());
    EXPECT_TRUE(exchange(hexBytes("01 0A 00 01"), 8, 1, 6));
    EXPECT_EQ(net.receiveFailed, 1);
    EXPECT_EQ(response(), writeEcho());
}

TEST_F(LinkTest, NetworkReceiveThatKeepsFailingDoesNotSpin)
{
    FakeNet &net = openNet();
    net.failForeverFrom(100);
    EXPECT_FALSE(exchange(kReadAddress, 7));
    EXPECT_EQ(clock.now - net.sendTime, 1001u);
    EXPECT_LE(net.receiveFailed, 902); // at most one a millisecond
    EXPECT_GE(net.receiveFailed, 1);
}

TEST_F(LinkTest, NetworkFailureKeepsTheLastAcceptedText)
{
    FakeNet &net = openNet();
    net.arrive(5, writeEcho());
    ASSERT_TRUE(exchange(hexBytes("01 0A 00 01"), 8, 1, 6));
    const QString accepted = link.state.receiveText;
    const std::size_t shown = host.shownRx.size();
    net.arrive(5, hexBytes("01 06"));
    EXPECT_FALSE(exchange(hexBytes("01 0A 00 01"), 8, 1, 6));
    EXPECT_EQ(link.state.receiveText, accepted);
    EXPECT_EQ(host.shownRx.size(), shown);
    EXPECT_EQ(response(), hexBytes("01 06"));
    EXPECT_TRUE(restOfBufferIsZero());
}

// ---- frame observers ------------------------------------------------------------------

TEST_F(LinkTest, ObserversAreToldEveryOpenFrameFailureAndCloseInOrder)
{
    struct Recorder : FrameObserver {
        void frameEvent(const FrameEvent &e) override
        {
            lines.push_back(std::to_string(e.timeMs) + ' ' + frameEventText(e).toStdString());
            if (e.kind == FrameEvent::Kind::NoResponse)
                outcomes.push_back(e.outcome);
        }
        std::vector<std::string> lines;
        std::vector<Outcome> outcomes;
    } recorder;
    link.addObserver(&recorder);
    link.addObserver(&recorder); // once is enough

    link.state.portName = QStringLiteral("/dev/pts/9");
    link.state.serialMode = QStringLiteral("9600,n,8,1");
    clock.now = 5000;
    FakeSerial &port = openSerial();
    port.arrive(20, withCrc({0x05, 0x03, 0x02, 0x00, 0x05}));
    EXPECT_TRUE(exchange(kReadAddress, 7, 5));
    port.arrive(3, exceptionReply());
    EXPECT_FALSE(exchange(kReadAddress, 7, 5));
    link.CloseLink();
    link.removeObserver(&recorder);
    link.OpenLink();

    const std::vector<std::string> expected = {
        "5000 OPEN serial /dev/pts/9 9600,n,8,1",
        "5000 TX slave 5: 05 03 01 00 00 01 84 72",
        "5020 RX slave 5: 05 03 02 00 05 89 87",
        "5020 TX slave 5: 05 03 01 00 00 01 84 72",
        "6024 FAIL slave 5: 01 83 02 C0 F1 (5 bytes: silence over 1000 ms)",
        "6024 CLOSE",
    };
    EXPECT_EQ(recorder.lines, expected);
    // The window's rule never takes an exception reply: it shows as silence.
    EXPECT_EQ(recorder.outcomes, std::vector<Outcome>{Outcome::Silence});

    link.state.transport = Transport::Tcp; // a failed open is told too
    link.addObserver(&recorder);
    recorder.lines.clear();
    EXPECT_FALSE(link.OpenLink());
    ASSERT_EQ(recorder.lines.size(), 2u);
    EXPECT_EQ(recorder.lines[1], "6024 OPEN-FAILED");
}

TEST_F(LinkTest, NetworkSendSharesTheDeadlineOfTheWholeExchange)
{
    // A peer that reads slowly or never holds the send. The deadline runs from the start of
    // the send: a send that cannot finish within it fails the exchange there, with nothing
    // accepted; a send that finishes leaves only the rest of the time for the response.
    struct Case {
        std::uint32_t sendTakesMs;
        bool sendFails;
        std::uint32_t replyAt; // from the start of the send
        bool accepted;
        std::uint32_t endsAt;
    };
    const Case cases[] = {
        {60'000, false, 10, false, 1000}, // never done: the reply that came meanwhile is not taken
        {1001, false, 10, false, 1000},   {400, false, 900, true, 900},
        {400, false, 1002, false, 1001},  {0, true, 0, false, 1001}, // refused: not reported, it shows as a time-out
    };
    for (const Case &c : cases) {
        FakeNet &net = openNet();
        net.sendTakesMs = c.sendTakesMs;
        net.sendFails = c.sendFails;
        if (!c.sendFails)
            net.arrive(c.replyAt, writeEcho());
        const std::size_t shown = host.shownRx.size();
        EXPECT_EQ(exchange(hexBytes("01 0A 00 01"), 8, 1, 6), c.accepted) << c.sendTakesMs;
        EXPECT_EQ(clock.now - net.sendTime, c.endsAt) << c.sendTakesMs;
        ASSERT_EQ(net.sendTimeouts.size(), 1u);
        EXPECT_EQ(net.sendTimeouts[0], 1000);
        if (!c.accepted) {
            EXPECT_EQ(link.state.responseLength, 0) << c.sendTakesMs;
            EXPECT_EQ(host.shownRx.size(), shown) << c.sendTakesMs;
        }
        link.CloseLink();
    }
}
