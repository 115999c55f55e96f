// The reader over TCP on 127.0.0.1: framing of the byte stream and every fault.
#include "simserver.h"
#include "support/simtestutil.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace relvix::sim;
using simtest::frame;
using simtest::hex;
using simtest::kAddressAnswer;
using simtest::kReadAddress;
using simtest::spaced;
using simtest::TcpClient;

namespace {

class SimTcp : public ::testing::Test {
protected:
    void SetUp() override
    {
        port = server.listenTcp();
        ASSERT_NE(port, 0);
        ASSERT_TRUE(client.connectTo(port));
        // Connected here does not mean accepted there yet; injections reach accepted ones.
        ASSERT_TRUE(simtest::waitUntil([&] { return server.tcpOpenConnections() == 1; }));
    }
    void setFaults(const std::function<void(FaultScript &)> &change)
    {
        FaultScript f;
        change(f);
        server.setFaults(f);
    }
    int countLog(const QString &tag) const
    {
        int n = 0;
        for (const QString &line : server.log())
            n += line.section(QLatin1Char(' '), 1, 1) == tag ? 1 : 0;
        return n;
    }

    SimServer server;
    quint16 port = 0;
    TcpClient client;
};

} // namespace

TEST_F(SimTcp, ListensOnLoopbackOnly)
{
    EXPECT_EQ(server.tcpPort(), port);
    EXPECT_EQ(client.socket.peerAddress(), QHostAddress(QHostAddress::LocalHost));
    EXPECT_EQ(server.listenTcp(), port); // a second call keeps the listener it has
}

TEST_F(SimTcp, AnswersARead)
{
    EXPECT_EQ(spaced(client.exchange(kReadAddress, 7)), spaced(kAddressAnswer));
    EXPECT_EQ(server.requestCount(), 1);
}

TEST_F(SimTcp, AnswersWhileTheCallerProcessesNoEvents)
{
    // A plain blocking socket and a poll loop: nothing runs the test thread's event loop, as in
    // the tool's network wait.
    const int fd = simtest::rawConnect(port);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::send(fd, kReadAddress.constData(), kReadAddress.size(), 0), kReadAddress.size());
    QByteArray got;
    QElapsedTimer clock;
    clock.start();
    while (got.size() < 7 && clock.elapsed() < 5000) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 0) > 0) {
            char buffer[64];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            got.append(buffer, n);
        }
    }
    ::close(fd);
    EXPECT_EQ(spaced(got), spaced(kAddressAnswer));
}

TEST_F(SimTcp, SeveralRequestsInOneWrite)
{
    client.send(kReadAddress + hex("01 03 01 10 00 02 C4 32"));
    EXPECT_EQ(spaced(client.read(7 + 9)), spaced(kAddressAnswer + frame("01 03 04 00 00 00 00")));
    EXPECT_EQ(server.requestCount(), 2);
}

TEST_F(SimTcp, RequestSplitAcrossWrites)
{
    server.setJunkSilenceMs(3000); // the pieces below come 100 ms apart on purpose
    client.send(kReadAddress.left(1));
    QThread::msleep(100);
    client.send(kReadAddress.mid(1, 4));
    QThread::msleep(100);
    EXPECT_EQ(server.requestCount(), 0);
    client.send(kReadAddress.mid(5));
    EXPECT_EQ(spaced(client.read(7)), spaced(kAddressAnswer));
    EXPECT_EQ(server.requestCount(), 1);
}

TEST_F(SimTcp, EightByteRequestsWithAnEarlyCrcMatch)
{
    // In these the 7-byte prefix is CRC-correct too (the last data byte equals the low byte of
    // the CRC of the five before it), so the shortest match alone would cut them short.
    const QByteArray readAt17 = hex("17 03 01 00 00 01 87 00");
    ASSERT_EQ(simtest::referenceCrc(readAt17.left(5)), 0x8701);
    server.withReader([](VirtualReader &r) { r.setAddress(0x17); });
    EXPECT_EQ(spaced(client.exchange(readAt17, 7)), spaced(frame("17 03 02 00 17")));

    server.withReader([](VirtualReader &r) { r.setAddress(1); });
    const QByteArray setAddress72 = hex("01 06 01 00 00 48 88 00");
    ASSERT_EQ(simtest::referenceCrc(setAddress72.left(5)), 0x8848);
    EXPECT_EQ(spaced(client.exchange(setAddress72, 8)), spaced(setAddress72));
    EXPECT_EQ(server.requestCount(), 2);
}

TEST_F(SimTcp, ShortMalformedWriteIsAnsweredAfterSilence)
{
    // 06 with three data bytes, as a tool sends for the output text "FF": a 7-byte frame.
    EXPECT_EQ(spaced(client.exchange(frame("01 06 01 11 FF"), 5)), spaced(frame("01 86 03")));
    // Followed at once by a good request, both are answered.
    client.send(frame("01 06 01 11 FF") + kReadAddress);
    EXPECT_EQ(spaced(client.read(12)), spaced(frame("01 86 03") + kAddressAnswer));
    // Other functions end at the shortest match right away.
    EXPECT_EQ(spaced(client.exchange(frame("01 04"), 5)), spaced(frame("01 84 01")));
}

TEST_F(SimTcp, JunkIsDroppedAfterSilence)
{
    client.send(hex("AA BB CC"));
    ASSERT_TRUE(simtest::waitUntil([&] { return countLog(QStringLiteral("DROP")) == 1; }));
    // The junk is gone: the next request stands on its own.
    EXPECT_EQ(spaced(client.exchange(kReadAddress, 7)), spaced(kAddressAnswer));
    const QStringList log = server.log();
    EXPECT_TRUE(log.filter(QStringLiteral("DROP AA BB CC")).size() == 1) << log.join(QLatin1Char('\n')).toStdString();
}

TEST_F(SimTcp, OverlongJunkIsDroppedAtOnce)
{
    server.setJunkSilenceMs(60000);
    client.send(QByteArray(1501, '\x55'));
    ASSERT_TRUE(simtest::waitUntil([&] { return countLog(QStringLiteral("DROP")) == 1; }));
    EXPECT_EQ(spaced(client.exchange(kReadAddress, 7)), spaced(kAddressAnswer));
}

TEST_F(SimTcp, OtherAddressAndBadCrcAreSilent)
{
    client.send(frame("02 03 01 00 00 01"));
    client.send(hex("01 03 01 00 00 01 85 F7"));
    EXPECT_TRUE(client.readFor(300).isEmpty());
    EXPECT_EQ(server.requestCount(), 1); // the bad CRC never made a request
    EXPECT_EQ(spaced(client.exchange(kReadAddress, 7)), spaced(kAddressAnswer));
}

TEST_F(SimTcp, AddressChangeAppliesToTheNextRequest)
{
    const QByteArray change = hex("01 06 01 00 00 05 48 35");
    EXPECT_EQ(spaced(client.exchange(change, 8)), spaced(change));
    client.send(kReadAddress);
    EXPECT_TRUE(client.readFor(200).isEmpty());
    EXPECT_EQ(spaced(client.exchange(simtest::request(5, 3, 0x0100, 1), 7)), spaced(frame("05 03 02 00 05")));
    int address = 0;
    server.withReader([&](VirtualReader &r) { address = r.address(); });
    EXPECT_EQ(address, 5);
}

TEST_F(SimTcp, WithReaderSeesTheRequests)
{
    server.withReader([](VirtualReader &r) {
        r.presentCard(hex("12 34 56 78"));
        r.setInputs(0x00A5);
    });
    EXPECT_EQ(spaced(client.exchange(hex("01 03 01 12 00 08 E5 F5"), 21)),
              spaced(frame("01 03 10 12 34 56 78 00 00 00 00 00 00 00 00 00 00 00 00")));
    client.exchange(hex("01 06 01 11 FF FF D9 83"), 8);
    std::uint16_t outputs = 0;
    server.withReader([&](VirtualReader &r) { outputs = r.outputs(); });
    EXPECT_EQ(outputs, 0xFFFF);
}

TEST_F(SimTcp, Delay)
{
    setFaults([](FaultScript &f) { f.delayMs = 300; });
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(spaced(client.exchange(kReadAddress, 7)), spaced(kAddressAnswer));
    EXPECT_GE(clock.elapsed(), 280); // timers may round a little; never much early
}

TEST_F(SimTcp, GapBetweenBytes)
{
    setFaults([](FaultScript &f) { f.gapMs = 40; });
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(spaced(client.exchange(kReadAddress, 7)), spaced(kAddressAnswer));
    EXPECT_GE(clock.elapsed(), 6 * 40 - 20); // six gaps between seven bytes
}

TEST_F(SimTcp, Chunks)
{
    setFaults([](FaultScript &f) {
        f.chunkSize = 3;
        f.gapMs = 200;
    });
    QElapsedTimer clock;
    clock.start();
    client.send(kReadAddress);
    // 7 bytes in pieces of 3, 3, 1 with 200 ms between: the first piece stands alone.
    const QByteArray first = client.read(3);
    EXPECT_EQ(spaced(first), spaced(kAddressAnswer.left(3)));
    EXPECT_EQ(client.socket.bytesAvailable(), 0);
    EXPECT_EQ(spaced(first + client.read(4)), spaced(kAddressAnswer));
    EXPECT_GE(clock.elapsed(), 2 * 200 - 20);
}

TEST_F(SimTcp, Noise)
{
    setFaults([](FaultScript &f) {
        f.noiseBefore = hex("FF");
        f.noiseAfter = hex("AA BB");
    });
    EXPECT_EQ(spaced(client.exchange(kReadAddress, 10)), spaced(hex("FF") + kAddressAnswer + hex("AA BB")));
    EXPECT_EQ(countLog(QStringLiteral("NOISE")), 2);
    EXPECT_EQ(countLog(QStringLiteral("TX")), 1);
}

TEST_F(SimTcp, NoiseIsChunkedWithTheResponse)
{
    setFaults([](FaultScript &f) {
        f.noiseBefore = hex("01 02");
        f.chunkSize = 4;
        f.gapMs = 10;
    });
    EXPECT_EQ(spaced(client.exchange(kReadAddress, 9)), spaced(hex("01 02") + kAddressAnswer));
}

TEST_F(SimTcp, WrongCrc)
{
    setFaults([](FaultScript &f) { f.wrongCrc = true; });
    const QByteArray got = client.exchange(kReadAddress, 7);
    ASSERT_EQ(got.size(), 7);
    EXPECT_EQ(got.left(5), kAddressAnswer.left(5));
    const std::uint16_t carried = static_cast<std::uint8_t>(got[5]) | (static_cast<std::uint8_t>(got[6]) << 8);
    EXPECT_NE(carried, simtest::referenceCrc(got.left(5)));
    EXPECT_EQ(carried ^ 0xFFFF, simtest::referenceCrc(got.left(5)));
}

TEST_F(SimTcp, ExceptionForEveryRequest)
{
    setFaults([](FaultScript &f) { f.exceptionCode = 4; });
    EXPECT_EQ(spaced(client.exchange(kReadAddress, 5)), spaced(frame("01 83 04")));
    EXPECT_EQ(spaced(client.exchange(hex("01 06 01 11 FF FF D9 83"), 5)), spaced(frame("01 86 04")));
    std::uint16_t outputs = 1;
    server.withReader([&](VirtualReader &r) { outputs = r.outputs(); });
    EXPECT_EQ(outputs, 0); // a refused request does nothing
    // Not for us: still silent.
    client.send(frame("02 03 01 00 00 01"));
    EXPECT_TRUE(client.readFor(200).isEmpty());
}

TEST_F(SimTcp, SilentStillActs)
{
    setFaults([](FaultScript &f) { f.silent = true; });
    client.send(hex("01 06 01 11 FF FF D9 83"));
    client.send(kReadAddress);
    EXPECT_TRUE(client.readFor(300).isEmpty());
    EXPECT_EQ(server.requestCount(), 2);
    std::uint16_t outputs = 0;
    server.withReader([&](VirtualReader &r) { outputs = r.outputs(); });
    EXPECT_EQ(outputs, 0xFFFF);
    EXPECT_EQ(countLog(QStringLiteral("RX")), 2);
    EXPECT_EQ(countLog(QStringLiteral("TX")), 0);
}

TEST_F(SimTcp, AnswerAsAnotherAddress)
{
    setFaults([](FaultScript &f) { f.answerAsAddress = 7; });
    EXPECT_EQ(spaced(client.exchange(kReadAddress, 7)), spaced(frame("07 03 02 00 01")));
}

TEST_F(SimTcp, EndlessRunsUntilTheNextRequestAndStopsOnClose)
{
    setFaults([](FaultScript &f) { f.endless = true; });
    client.send(kReadAddress);
    const QByteArray got = client.read(7 + 500);
    ASSERT_EQ(got.size(), 7 + 500);
    EXPECT_EQ(spaced(got.left(7)), spaced(kAddressAnswer));
    EXPECT_EQ(got.mid(7), QByteArray(500, '\0'));
    EXPECT_EQ(server.activeEndlessStreams(), 1);

    // The next request stops the stream; with the fault still set a new one follows its answer.
    setFaults([](FaultScript &) {});
    client.send(kReadAddress);
    ASSERT_TRUE(simtest::waitUntil([&] { return server.activeEndlessStreams() == 0; }));
    EXPECT_EQ(countLog(QStringLiteral("ENDLESS")), 2); // start and stop

    setFaults([](FaultScript &f) { f.endless = true; });
    client.send(kReadAddress);
    ASSERT_TRUE(simtest::waitUntil([&] { return server.activeEndlessStreams() == 1; }));
    client.socket.disconnectFromHost();
    ASSERT_TRUE(simtest::waitUntil([&] { return server.tcpOpenConnections() == 0; }));
    EXPECT_EQ(server.activeEndlessStreams(), 0);
}

TEST_F(SimTcp, EndlessWithSilentSendsOnlyZeros)
{
    setFaults([](FaultScript &f) {
        f.endless = true;
        f.silent = true;
    });
    client.send(kReadAddress);
    EXPECT_EQ(client.read(300), QByteArray(300, '\0'));
}

TEST_F(SimTcp, CloseAfterBytes)
{
    setFaults([](FaultScript &f) { f.closeAfterBytes = 3; });
    client.send(kReadAddress);
    EXPECT_EQ(spaced(client.readFor(3000)), spaced(kAddressAnswer.left(3)));
    EXPECT_EQ(client.socket.state(), QAbstractSocket::UnconnectedState);
    ASSERT_TRUE(simtest::waitUntil([&] { return server.tcpOpenConnections() == 0; }));

    // Zero: closed on the request, nothing sent. The listener still takes new connections.
    setFaults([](FaultScript &f) { f.closeAfterBytes = 0; });
    TcpClient second;
    ASSERT_TRUE(second.connectTo(port));
    second.send(kReadAddress);
    EXPECT_TRUE(second.readFor(3000).isEmpty());
    EXPECT_EQ(second.socket.state(), QAbstractSocket::UnconnectedState);
    EXPECT_EQ(server.tcpConnectionCount(), 2);
}

TEST_F(SimTcp, CloseAfterTheWholeResponse)
{
    setFaults([](FaultScript &f) {
        f.closeAfterBytes = 7;
        f.gapMs = 5;
    });
    client.send(kReadAddress);
    EXPECT_EQ(spaced(client.readFor(3000)), spaced(kAddressAnswer));
    EXPECT_EQ(client.socket.state(), QAbstractSocket::UnconnectedState);
}

TEST_F(SimTcp, Inject)
{
    server.inject(hex("DE AD BE EF"));
    EXPECT_EQ(spaced(client.read(4)), QStringLiteral("DE AD BE EF"));
    EXPECT_EQ(countLog(QStringLiteral("INJECT")), 1);
}

TEST_F(SimTcp, LogFormat)
{
    client.exchange(kReadAddress, 7);
    const QStringList log = server.log();
    const QRegularExpression rx(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} RX 01 03 01 00 00 01 85 F6$"));
    const QRegularExpression tx(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} TX 01 03 02 00 01 79 84$"));
    EXPECT_EQ(log.filter(rx).size(), 1) << log.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(log.filter(tx).size(), 1) << log.join(QLatin1Char('\n')).toStdString();
    // RX comes before its TX.
    EXPECT_LT(log.indexOf(rx), log.indexOf(tx));
    server.clearLog();
    EXPECT_TRUE(server.log().isEmpty());
}

TEST_F(SimTcp, ConnectionCounts)
{
    ASSERT_TRUE(simtest::waitUntil([&] { return server.tcpOpenConnections() == 1; }));
    {
        TcpClient second;
        ASSERT_TRUE(second.connectTo(port));
        ASSERT_TRUE(simtest::waitUntil([&] { return server.tcpOpenConnections() == 2; }));
        EXPECT_EQ(spaced(second.exchange(kReadAddress, 7)), spaced(kAddressAnswer));
        EXPECT_EQ(server.tcpConnectionCount(), 2);
        second.socket.disconnectFromHost();
    }
    ASSERT_TRUE(simtest::waitUntil([&] { return server.tcpOpenConnections() == 1; }));
    server.closeTcpConnections();
    ASSERT_TRUE(simtest::waitUntil([&] { return server.tcpOpenConnections() == 0; }));
    EXPECT_TRUE(client.readFor(100).isEmpty());
    EXPECT_EQ(client.socket.state(), QAbstractSocket::UnconnectedState);
    EXPECT_EQ(server.tcpConnectionCount(), 2);
}

TEST_F(SimTcp, FaultsRoundTrip)
{
    FaultScript f;
    f.delayMs = 12;
    f.noiseAfter = hex("01");
    f.closeAfterBytes = 9;
    server.setFaults(f);
    const FaultScript back = server.faults();
    EXPECT_EQ(back.delayMs, 12);
    EXPECT_EQ(back.noiseAfter, hex("01"));
    EXPECT_EQ(back.closeAfterBytes, 9);
}

TEST(SimServerLifetime, DestroyedWithWorkInFlight)
{
    // Pending delays, an endless stream and an open pseudo-terminal at destruction: the
    // thread stops and everything is released without a crash (and, under ASan, no leak).
    TcpClient a;
    TcpClient b;
    {
        SimServer server;
        const quint16 port = server.listenTcp();
        ASSERT_NE(port, 0);
        ASSERT_FALSE(server.openPty().isEmpty());
        ASSERT_TRUE(a.connectTo(port));
        ASSERT_TRUE(b.connectTo(port));
        FaultScript f;
        f.delayMs = 5000;
        server.setFaults(f);
        a.send(kReadAddress);
        ASSERT_TRUE(simtest::waitUntil([&] { return server.requestCount() == 1; }));
        f.delayMs = 0;
        f.endless = true;
        server.setFaults(f);
        b.send(kReadAddress);
        ASSERT_TRUE(simtest::waitUntil([&] { return server.activeEndlessStreams() == 1; }));
    }
    EXPECT_TRUE(simtest::waitUntil(
        [&] { return a.socket.state() == QAbstractSocket::UnconnectedState || a.socket.waitForDisconnected(50); }));
}

TEST(SimServerLifetime, ManyServers)
{
    for (int i = 0; i < 20; ++i) {
        SimServer server;
        ASSERT_NE(server.listenTcp(), 0);
        TcpClient c;
        ASSERT_TRUE(c.connectTo(server.tcpPort()));
        EXPECT_EQ(spaced(c.exchange(kReadAddress, 7)), spaced(kAddressAnswer));
    }
}

TEST(SimServerLifetime, WithReaderFromTheServerThreadDoesNotDeadlock)
{
    SimServer server;
    int seen = 0;
    server.withReader([&](VirtualReader &) {
        // Already on the server thread: the nested call runs directly.
        server.withReader([&](VirtualReader &r) { seen = r.address(); });
    });
    EXPECT_EQ(seen, 1);
}

TEST(SimServerLifetime, ListenFailsOnABadAddress)
{
    SimServer server;
    EXPECT_EQ(server.listenTcp(QStringLiteral("not an address")), 0);
    EXPECT_EQ(server.tcpPort(), 0);
}
