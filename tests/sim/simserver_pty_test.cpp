// The reader over a pseudo-terminal that the test opens as the tool would open a serial port.
#include "simserver.h"
#include "support/simtestutil.h"

#include <QElapsedTimer>
#include <QSerialPort>
#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using namespace relvix::sim;
using simtest::frame;
using simtest::hex;
using simtest::kAddressAnswer;
using simtest::kReadAddress;
using simtest::spaced;

namespace {

// The tool's end of the line: the slave path, opened raw and non-blocking.
class PtyClient {
public:
    explicit PtyClient(const QString &path)
    {
        fd_ = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ >= 0) {
            termios tio{};
            ::tcgetattr(fd_, &tio);
            ::cfmakeraw(&tio);
            ::tcsetattr(fd_, TCSANOW, &tio);
            ::tcflush(fd_, TCIOFLUSH);
        }
    }
    ~PtyClient()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    PtyClient(const PtyClient &) = delete;
    PtyClient &operator=(const PtyClient &) = delete;

    bool isOpen() const { return fd_ >= 0; }
    void send(const QByteArray &bytes) { ASSERT_EQ(::write(fd_, bytes.constData(), bytes.size()), bytes.size()); }
    bool trySend(const QByteArray &bytes) { return ::write(fd_, bytes.constData(), bytes.size()) == bytes.size(); }
    // Reads until n bytes came, the line hung up, or ms passed.
    QByteArray read(int n, int ms = 5000)
    {
        QByteArray got;
        QElapsedTimer clock;
        clock.start();
        hungUp_ = false;
        while (got.size() < n && clock.elapsed() < ms) {
            pollfd p{fd_, POLLIN, 0};
            const int ready = ::poll(&p, 1, 20);
            if (ready <= 0)
                continue;
            char buffer[512];
            const ssize_t k = ::read(fd_, buffer, std::min<qsizetype>(sizeof buffer, n - got.size()));
            if (k > 0) {
                got.append(buffer, k);
            } else if (k == 0 || (errno != EAGAIN && errno != EINTR)) {
                hungUp_ = true; // the other end closed: end of file or EIO
                break;
            } else if (p.revents & POLLHUP) {
                hungUp_ = true;
                break;
            }
        }
        return got;
    }
    QByteArray readFor(int ms) { return read(1 << 20, ms); }
    bool hungUp() const { return hungUp_; }
    QByteArray exchange(const QByteArray &request, int n)
    {
        send(request);
        return read(n);
    }

private:
    int fd_ = -1;
    bool hungUp_ = false;
};

class SimPty : public ::testing::Test {
protected:
    void SetUp() override
    {
        path = server.openPty();
        ASSERT_FALSE(path.isEmpty());
        client = std::make_unique<PtyClient>(path);
        ASSERT_TRUE(client->isOpen());
    }
    void setFaults(const std::function<void(FaultScript &)> &change)
    {
        FaultScript f;
        change(f);
        server.setFaults(f);
    }

    SimServer server;
    QString path;
    std::unique_ptr<PtyClient> client;
};

} // namespace

TEST_F(SimPty, PathIsAPseudoTerminal)
{
    EXPECT_TRUE(path.startsWith(QStringLiteral("/dev/pts/"))) << path.toStdString();
    EXPECT_EQ(server.ptyPath(), path);
    EXPECT_EQ(server.openPty(), path); // one at a time
}

TEST_F(SimPty, AnswersWithoutEcho)
{
    // Raw on both ends: the reader's answer is all that comes back, byte for byte, with no
    // echo of the request and no CR/LF translation (0x0A and 0x0D in the data below).
    EXPECT_EQ(spaced(client->exchange(kReadAddress, 7)), spaced(kAddressAnswer));
    server.withReader([](VirtualReader &r) { r.setInputs(0x0A0D); });
    EXPECT_EQ(spaced(client->exchange(hex("01 03 01 10 00 02 C4 32"), 9)), spaced(frame("01 03 04 0A 0D 00 00")));
    EXPECT_TRUE(client->readFor(100).isEmpty());
}

TEST_F(SimPty, RequestSplitAcrossWrites)
{
    server.setJunkSilenceMs(3000);
    client->send(kReadAddress.left(3));
    QThread::msleep(100);
    client->send(kReadAddress.mid(3));
    EXPECT_EQ(spaced(client->read(7)), spaced(kAddressAnswer));
}

TEST_F(SimPty, ReopenedByTheToolStillWorks)
{
    // The tool opens and closes the port for every operation; the line must survive that.
    EXPECT_EQ(spaced(client->exchange(kReadAddress, 7)), spaced(kAddressAnswer));
    client.reset();
    QThread::msleep(50);
    client = std::make_unique<PtyClient>(path);
    ASSERT_TRUE(client->isOpen());
    EXPECT_EQ(spaced(client->exchange(kReadAddress, 7)), spaced(kAddressAnswer));
}

TEST_F(SimPty, GapsAndNoise)
{
    setFaults([](FaultScript &f) {
        f.gapMs = 20;
        f.noiseBefore = hex("00");
        f.noiseAfter = hex("FF");
    });
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(spaced(client->exchange(kReadAddress, 9)), spaced(hex("00") + kAddressAnswer + hex("FF")));
    EXPECT_GE(clock.elapsed(), 8 * 20 - 20);
}

TEST_F(SimPty, Delay)
{
    setFaults([](FaultScript &f) { f.delayMs = 250; });
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(spaced(client->exchange(kReadAddress, 7)), spaced(kAddressAnswer));
    EXPECT_GE(clock.elapsed(), 230);
}

TEST_F(SimPty, WrongCrcAndException)
{
    setFaults([](FaultScript &f) { f.wrongCrc = true; });
    const QByteArray bad = client->exchange(kReadAddress, 7);
    ASSERT_EQ(bad.size(), 7);
    EXPECT_EQ(bad.left(5), kAddressAnswer.left(5));
    EXPECT_NE(bad.right(2), kAddressAnswer.right(2));
    setFaults([](FaultScript &f) { f.exceptionCode = 6; });
    EXPECT_EQ(spaced(client->exchange(kReadAddress, 5)), spaced(frame("01 83 06")));
}

TEST_F(SimPty, Silent)
{
    setFaults([](FaultScript &f) { f.silent = true; });
    client->send(kReadAddress);
    EXPECT_TRUE(client->readFor(300).isEmpty());
    EXPECT_EQ(server.requestCount(), 1);
}

TEST_F(SimPty, Inject)
{
    server.inject(hex("55 AA"));
    EXPECT_EQ(spaced(client->read(2)), QStringLiteral("55 AA"));
}

TEST_F(SimPty, ClosePtyHangsUpTheLine)
{
    EXPECT_EQ(spaced(client->exchange(kReadAddress, 7)), spaced(kAddressAnswer));
    server.closePty();
    EXPECT_TRUE(server.ptyPath().isEmpty());
    client->trySend(kReadAddress); // written into a dead line; the result does not matter
    EXPECT_TRUE(client->read(7, 3000).isEmpty());
    EXPECT_TRUE(client->hungUp());
    // A new one can be opened afterwards.
    const QString again = server.openPty();
    ASSERT_FALSE(again.isEmpty());
    PtyClient fresh(again);
    ASSERT_TRUE(fresh.isOpen());
    EXPECT_EQ(spaced(fresh.exchange(kReadAddress, 7)), spaced(kAddressAnswer));
}

TEST_F(SimPty, CloseAfterBytes)
{
    setFaults([](FaultScript &f) { f.closeAfterBytes = 4; });
    client->send(kReadAddress);
    EXPECT_EQ(spaced(client->read(7, 3000)), spaced(kAddressAnswer.left(4)));
    EXPECT_TRUE(client->hungUp());
    EXPECT_TRUE(simtest::waitUntil([&] { return server.ptyPath().isEmpty(); }));
}

TEST_F(SimPty, EndlessStopsOnClosePty)
{
    setFaults([](FaultScript &f) { f.endless = true; });
    client->send(kReadAddress);
    const QByteArray got = client->read(7 + 1000);
    ASSERT_EQ(got.size(), 7 + 1000);
    EXPECT_EQ(spaced(got.left(7)), spaced(kAddressAnswer));
    EXPECT_EQ(server.activeEndlessStreams(), 1);
    server.closePty();
    EXPECT_EQ(server.activeEndlessStreams(), 0);
}

TEST_F(SimPty, EndlessWhileNobodyReadsDoesNotBlockTheReader)
{
    // Nobody reads the line: the stream fills its buffer and waits; the reader stays responsive.
    setFaults([](FaultScript &f) { f.endless = true; });
    client->send(kReadAddress);
    QThread::msleep(300);
    int address = 0;
    server.withReader([&](VirtualReader &r) { address = r.address(); });
    EXPECT_EQ(address, 1);
    EXPECT_EQ(server.activeEndlessStreams(), 1);
}

TEST(SimBoth, TcpAndPtyServeTheSameReader)
{
    SimServer server;
    const quint16 port = server.listenTcp();
    ASSERT_NE(port, 0);
    const QString path = server.openPty();
    ASSERT_FALSE(path.isEmpty());
    simtest::TcpClient tcp;
    ASSERT_TRUE(tcp.connectTo(port));
    PtyClient pty(path);
    ASSERT_TRUE(pty.isOpen());
    // A write over TCP is read back over the line.
    const QByteArray write = frame("01 06 01 11 12 34");
    EXPECT_EQ(spaced(tcp.exchange(write, 8)), spaced(write));
    EXPECT_EQ(spaced(pty.exchange(frame("01 03 01 11 00 01"), 7)), spaced(frame("01 03 02 12 34")));
    // An injection reaches both.
    server.inject(hex("7E"));
    EXPECT_EQ(tcp.read(1), hex("7E"));
    EXPECT_EQ(pty.read(1), hex("7E"));
}

TEST(SimPtySerialPort, QSerialPortOpensTheLineAgainAndAgain)
{
    // The tool opens the line with QSerialPort, once per operation, with a serial mode such as
    // 19200,e,8,1; a pseudo-terminal takes such settings and ignores them.
    SimServer server;
    const QString path = server.openPty();
    ASSERT_FALSE(path.isEmpty());
    for (int round = 0; round < 3; ++round) {
        QSerialPort port(path);
        port.setBaudRate(19200);
        port.setParity(QSerialPort::EvenParity);
        port.setDataBits(QSerialPort::Data8);
        port.setStopBits(QSerialPort::OneStop);
        ASSERT_TRUE(port.open(QIODevice::ReadWrite)) << port.errorString().toStdString();
        port.clear();
        port.write(kReadAddress);
        ASSERT_TRUE(port.waitForBytesWritten(5000));
        QByteArray got;
        QElapsedTimer clock;
        clock.start();
        while (got.size() < 7 && clock.elapsed() < 5000) {
            if (port.waitForReadyRead(100))
                got += port.readAll();
        }
        EXPECT_EQ(spaced(got), spaced(kAddressAnswer)) << round;
        port.close();
    }
    EXPECT_EQ(server.requestCount(), 3);
}
