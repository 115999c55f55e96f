// The link against the virtual reader, over TCP on loopback and over a pseudo-terminal:
// the two ends written apart must agree on frames, and the reader's scripted faults must
// end the way the receive rule says.
#include "link/readerlink.h"
#include "simserver.h"
#include "support/platform.h"

#include <QCoreApplication>
#include <chrono>
#include <gtest/gtest.h>
#include <time.h>

using namespace relvix;

namespace {

class Host : public ExchangeHost, public FrameTextObserver {
public:
    void processMessages() override { QCoreApplication::processEvents(); }
    void showTransmitText(const QString &t) override { tx = t; }
    void showReceiveText(const QString &t) override { rx = t; }
    QString tx, rx;
};

double threadCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

class SimLink : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        link.addObserver(&host);
        server.withReader([](sim::VirtualReader &r) { r.setAddress(5); });
        if (GetParam()) {
            const quint16 port = server.listenTcp();
            ASSERT_NE(port, 0);
            link.state.transport = Transport::Tcp;
            link.state.peerAddress = QStringLiteral("127.0.0.1");
            link.state.peerPort = QString::number(port);
        } else {
            RELVIX_SKIP_WITHOUT_PTY();
            const QString path = server.openPty();
            ASSERT_FALSE(path.isEmpty());
            link.state.transport = Transport::Serial;
            link.state.portName = path;
            link.state.serialMode = QStringLiteral("19200,e,8,1");
        }
        ASSERT_TRUE(link.OpenLink());
    }
    void TearDown() override { link.CloseLink(); }

    // Reads the slave address register of slave 5: 05 03 02 00 05 + CRC, 7 bytes.
    bool readAddress()
    {
        const std::uint8_t payload[] = {0x01, 0x00, 0x00, 0x01};
        return link.ExchangeFrame(5, 3, 7, payload, sizeof payload);
    }

    sim::SimServer server;
    Host host;
    ReaderLink link{host};
};

std::string pathName(const ::testing::TestParamInfo<bool> &info)
{
    return info.param ? "Tcp" : "Pty";
}

} // namespace

TEST_P(SimLink, ReadsTheAddressRegister)
{
    ASSERT_TRUE(readAddress());
    EXPECT_EQ(link.state.responseLength, 7);
    EXPECT_EQ(link.state.response[0], 5);
    EXPECT_EQ(link.state.response[1], 3);
    EXPECT_EQ(link.state.response[2], 2);
    EXPECT_EQ(link.state.response[4], 5);
    EXPECT_EQ(host.rx, link.state.receiveText);
}

TEST_P(SimLink, SplitAndDelayedResponseIsAccepted)
{
    sim::FaultScript f;
    f.delayMs = 100;
    f.chunkSize = 2;
    f.gapMs = 60;
    server.setFaults(f);
    EXPECT_TRUE(readAddress());
    EXPECT_EQ(link.state.responseLength, 7);
}

TEST_P(SimLink, ExceptionReplyAndWrongCrcFailAtTheTimeOut)
{
    sim::FaultScript f;
    f.exceptionCode = sim::exc::IllegalDataAddress;
    server.setFaults(f);
    EXPECT_FALSE(readAddress());
    EXPECT_EQ(link.state.responseLength, 5);

    f = {};
    f.wrongCrc = true;
    server.setFaults(f);
    EXPECT_FALSE(readAddress());
    EXPECT_EQ(link.state.responseLength, 7);
}

TEST_P(SimLink, EndlessStreamEndsWithoutHangingTheTool)
{
    // A response with a broken CRC and zero bytes behind it for ever: the CRC register,
    // fed zeros from a state other than 0, never comes back to 0, so nothing is accepted.
    sim::FaultScript f;
    f.wrongCrc = true;
    f.endless = true;
    server.setFaults(f);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(readAddress());
    const double wall = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    // Network: 1000 ms for the whole wait. Serial: twice the time-out plus the wire time of
    // a full buffer at 19200 baud, 2860 ms.
    EXPECT_GE(wall, GetParam() ? 950.0 : 2500.0); // bytes keep coming: no silence ends it
    EXPECT_LT(wall, GetParam() ? 2500.0 : 6000.0);
}

TEST_P(SimLink, ReaderHangingUpMidResponseEndsAtTheTimeOutWithoutSpinning)
{
    sim::FaultScript f;
    f.closeAfterBytes = 3;
    server.setFaults(f);
    const auto t0 = std::chrono::steady_clock::now();
    const double cpu0 = threadCpuMs();
    EXPECT_FALSE(readAddress());
    const double cpu = threadCpuMs() - cpu0;
    const double wall = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(wall, 950.0);
    EXPECT_LT(cpu, 500.0);
    EXPECT_LE(link.state.responseLength, 3);
}

INSTANTIATE_TEST_SUITE_P(Paths, SimLink, ::testing::Values(true, false), pathName);
