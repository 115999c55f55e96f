// The real clock, serial port and TCP connection, end to end against peers the test makes
// itself: a TCP listener on 127.0.0.1 and a pseudo-terminal. Times use wide margins; the
// exact time-out rules are covered with the fake clock elsewhere.
#include "link/readerlink.h"
#include "link/systemio.h"
#include "linktestsupport.h"

#include <QCoreApplication>
#include <QProcess>
#include <QSerialPort>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <future>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <time.h>
#include <unistd.h>

using namespace relvix;
using namespace linktest;
using namespace std::chrono_literals;

namespace {

// ---- helpers -------------------------------------------------------------------------

double threadCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

double sinceMs(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

int openFdCount()
{
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n;
}

// Reads exactly n bytes from fd, or fewer if timeoutMs passes or the other end closes.
Bytes readExactly(int fd, std::size_t n, int timeoutMs)
{
    Bytes out;
    const auto t0 = std::chrono::steady_clock::now();
    while (out.size() < n) {
        const int left = timeoutMs - static_cast<int>(sinceMs(t0));
        if (left <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, left) <= 0)
            break;
        std::uint8_t buf[256];
        const ssize_t r = read(fd, buf, std::min(sizeof buf, n - out.size()));
        if (r <= 0)
            break;
        out.insert(out.end(), buf, buf + r);
    }
    return out;
}

void writeAll(int fd, const Bytes &bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t w = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (w < 0 && errno == ENOTSOCK) {
            const ssize_t v = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (v <= 0)
                return;
            done += static_cast<std::size_t>(v);
            continue;
        }
        if (w <= 0)
            return;
        done += static_cast<std::size_t>(w);
    }
}

// The socket of this process connected to the given port: the link's own connection.
int socketConnectedTo(std::uint16_t port)
{
    int found = -1;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (dirent *e = readdir(d)) {
            const int fd = std::atoi(e->d_name);
            sockaddr_in a{};
            socklen_t len = sizeof a;
            if (found < 0 && getpeername(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0 && a.sin_family == AF_INET &&
                ntohs(a.sin_port) == port)
                found = fd;
        }
        closedir(d);
    }
    return found;
}

// Waits until the other side closes (read gives 0 or an error), at most timeoutMs.
bool waitForClose(int fd, int timeoutMs)
{
    const auto t0 = std::chrono::steady_clock::now();
    for (;;) {
        const int left = timeoutMs - static_cast<int>(sinceMs(t0));
        if (left <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, left) <= 0)
            return false;
        std::uint8_t buf[256];
        if (read(fd, buf, sizeof buf) <= 0)
            return true;
    }
}

// One step of a peer's answer: wait, then send bytes.
struct Step {
    int delayMs;
    Bytes bytes;
};

void play(int fd, const std::vector<Step> &steps)
{
    for (const Step &s : steps) {
        if (s.delayMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(s.delayMs));
        writeAll(fd, s.bytes);
    }
}

// A TCP peer on 127.0.0.1 with a port the system picks; one connection, handled on its own
// thread by the given body. Every wait in it is bounded so that a failing test cannot hang.
// receiveBuffer > 0 shrinks the receive buffer the connection inherits.
class TcpPeer {
public:
    explicit TcpPeer(int receiveBuffer = 0)
    {
        listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (receiveBuffer > 0)
            setsockopt(listen_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = 0;
        EXPECT_EQ(bind(listen_, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        EXPECT_EQ(listen(listen_, 4), 0);
        socklen_t len = sizeof a;
        getsockname(listen_, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~TcpPeer()
    {
        if (thread_.joinable())
            thread_.join();
        close(listen_);
    }
    void serve(std::function<void(int)> body)
    {
        thread_ = std::thread([this, body] {
            pollfd p{listen_, POLLIN, 0};
            if (poll(&p, 1, 10000) <= 0)
                return;
            const int conn = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (conn < 0)
                return;
            int one = 1;
            setsockopt(conn, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            body(conn);
            close(conn);
        });
    }
    QString portText() const { return QString::number(port); }
    std::uint16_t port = 0;

private:
    int listen_ = -1;
    std::thread thread_;
};

// A pseudo-terminal: the test keeps the master (the reader's end) and one raw slave
// descriptor, so nothing echoes and the line stays up while the tool opens and closes it.
class Pty {
public:
    Pty()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            return;
        char name[128] = {};
        if (ptsname_r(master, name, sizeof name) != 0)
            return;
        path = QString::fromLocal8Bit(name);
        slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios t{};
        tcgetattr(slave, &t);
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
    }
    ~Pty()
    {
        closeMaster();
        if (slave >= 0)
            close(slave);
    }
    void closeMaster()
    {
        if (master >= 0)
            close(master);
        master = -1;
    }
    bool ok() const { return master >= 0 && slave >= 0 && !path.isEmpty(); }
    int master = -1;
    int slave = -1;
    QString path;
};

// The window as the exchange sees it: messages are really processed.
class RealHost : public ExchangeHost, public FrameTextObserver {
public:
    void processMessages() override
    {
        ++processCalls;
        QCoreApplication::processEvents();
    }
    void showTransmitText(const QString &text) override { tx = text; }
    void showReceiveText(const QString &text) override { rx = text; }
    int processCalls = 0;
    QString tx, rx;
};

const Bytes kRequest = hexBytes("01 03 01 00 00 01 85 F6");
const Bytes kPayload = hexBytes("01 00 00 01");

class SystemLink : public ::testing::Test {
protected:
    SystemLink() { link.addObserver(&host); }
    bool exchange(std::int32_t expected)
    {
        return link.ExchangeFrame(1, 3, expected, kPayload.data(), static_cast<std::uint16_t>(kPayload.size()));
    }
    Bytes response() const
    {
        return Bytes(link.state.response.begin(), link.state.response.begin() + link.state.responseLength);
    }
    bool openNet(const TcpPeer &peer)
    {
        link.state.transport = Transport::Tcp;
        link.state.peerAddress = QStringLiteral("127.0.0.1");
        link.state.peerPort = peer.portText();
        return link.OpenLink();
    }
    bool openPty(const Pty &pty, const QString &mode = QStringLiteral("19200,n,8,1"))
    {
        link.state.transport = Transport::Serial;
        link.state.portName = pty.path;
        link.state.serialMode = mode;
        return link.OpenLink();
    }

    RealHost host;
    ReaderLink link{host};
};

} // namespace

// ---- setting texts --------------------------------------------------------------------

TEST(LinkPeerPortText, ReadLikeAtolAndCutToSixteenBits)
{
    struct Case {
        const char *text;
        std::uint16_t port;
    };
    const Case cases[] = {
        {"4001", 4001},
        {" 4001", 4001},
        {"\t\n 502", 502},
        {"+4001", 4001},
        {"4001abc", 4001},
        {"40 01", 40},
        {"", 0},
        {"abc", 0},
        {"-", 0},
        {"+-1", 0},
        {"0x10", 0},
        {"70000", 4464}, // 70000 - 65536
        {"65536", 0},
        {"65535", 65535},
        {"-1", 65535},
        {"99999999999", 0xFFFF}, // saturates at 2^31-1
        {"-99999999999", 0},     // saturates at -2^31, whose low 16 bits are 0
    };
    for (const Case &c : cases)
        EXPECT_EQ(ParsePeerPort(QString::fromLatin1(c.text)), c.port) << '"' << c.text << '"';
}

TEST(LinkPeerAddressText, DottedAddressesAndTheTextsRefusedBeforeAnyConnect)
{
    std::uint32_t a = 0;
    ASSERT_TRUE(ParsePeerAddress(QStringLiteral("127.0.0.1"), a));
    EXPECT_EQ(a, htonl(0x7F000001));
    ASSERT_TRUE(ParsePeerAddress(QStringLiteral("127.1"), a)); // inet_addr's short form
    EXPECT_EQ(a, htonl(0x7F000001));
    ASSERT_TRUE(ParsePeerAddress(QStringLiteral("255.255.255.255"), a)); // read, never connected to here
    EXPECT_EQ(a, 0xFFFFFFFFu);
    for (const char *bad :
         {"", "abc", "256.1.1.1", "1.2.3.4.5", "127.0.0.1x", "-1", "localhost", "0.0.0.0", "0xffffffff", "1..2.3"}) {
        EXPECT_FALSE(ParsePeerAddress(QString::fromLatin1(bad), a)) << bad;
    }
    EXPECT_FALSE(ParsePeerAddress(QStringLiteral("127.0.0.1") + QChar(0) + QStringLiteral("9"), a));
    EXPECT_FALSE(ParsePeerAddress(QStringLiteral("１２７.0.0.1"), a)); // full-width digits
}

// ---- TCP ----------------------------------------------------------------------------------

TEST_F(SystemLink, TcpResponseInSplitChunksIsAccepted)
{
    TcpPeer peer;
    const Bytes reply = readThreeRegisters();
    std::promise<Bytes> seen;
    peer.serve([&](int fd) {
        seen.set_value(readExactly(fd, 8, 5000));
        play(fd, {{0, Bytes(reply.begin(), reply.begin() + 2)},
                  {40, Bytes(reply.begin() + 2, reply.begin() + 7)},
                  {40, Bytes(reply.begin() + 7, reply.end())}});
        waitForClose(fd, 5000);
    });
    ASSERT_TRUE(openNet(peer));
    EXPECT_TRUE(exchange(11));
    EXPECT_EQ(seen.get_future().get(), kRequest);
    EXPECT_EQ(response(), reply);
    EXPECT_EQ(host.rx.toStdString(), hexSpaced(reply));
    EXPECT_EQ(host.processCalls, 0);
    link.CloseLink();
}

TEST_F(SystemLink, TcpStaleBytesAreDroppedBeforeTheRequest)
{
    TcpPeer peer;
    std::promise<void> staleSent;
    peer.serve([&](int fd) {
        writeAll(fd, hexBytes("DE AD BE EF 01 03"));
        staleSent.set_value();
        if (readExactly(fd, 8, 5000).size() == 8)
            writeAll(fd, writeEcho());
        waitForClose(fd, 5000);
    });
    ASSERT_TRUE(openNet(peer));
    staleSent.get_future().wait();
    std::this_thread::sleep_for(100ms); // loopback delivers long before this
    EXPECT_TRUE(exchange(8));
    EXPECT_EQ(response(), writeEcho());
    link.CloseLink();
}

TEST_F(SystemLink, TcpNoiseInFrontOfTheResponseSpoilsIt)
{
    TcpPeer peer;
    peer.serve([&](int fd) {
        if (readExactly(fd, 8, 5000).size() == 8) {
            Bytes noisy{0x00, 0xFF, 0x13};
            const Bytes echo = writeEcho();
            noisy.insert(noisy.end(), echo.begin(), echo.end());
            writeAll(fd, noisy);
        }
        waitForClose(fd, 5000);
    });
    ASSERT_TRUE(openNet(peer));
    EXPECT_FALSE(exchange(8));
    EXPECT_EQ(link.state.responseLength, 11);
    EXPECT_TRUE(host.rx.isEmpty());
    link.CloseLink();
}

TEST_F(SystemLink, TcpSilentPeerTimesOutInAboutASecondWithoutBurningTheProcessor)
{
    TcpPeer peer;
    peer.serve([&](int fd) {
        readExactly(fd, 8, 5000);
        waitForClose(fd, 10000);
    });
    ASSERT_TRUE(openNet(peer));
    const auto t0 = std::chrono::steady_clock::now();
    const double cpu0 = threadCpuMs();
    EXPECT_FALSE(exchange(7));
    const double cpu = threadCpuMs() - cpu0;
    const double wall = sinceMs(t0);
    EXPECT_GE(wall, 950.0);
    EXPECT_LT(wall, 5000.0);
    EXPECT_LT(cpu, 300.0) << "a busy wait would use about the whole second";
    link.CloseLink();
}

TEST_F(SystemLink, TcpResponseCompletedAfterTheDeadlineFails)
{
    TcpPeer peer;
    const Bytes reply = readThreeRegisters();
    peer.serve([&](int fd) {
        if (readExactly(fd, 8, 5000).size() == 8)
            play(fd, {{0, Bytes(reply.begin(), reply.begin() + 6)}, {1600, Bytes(reply.begin() + 6, reply.end())}});
        waitForClose(fd, 5000);
    });
    ASSERT_TRUE(openNet(peer));
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(exchange(11));
    EXPECT_LT(sinceMs(t0), 1550.0); // it gave up at the deadline, not when the rest came
    EXPECT_EQ(link.state.responseLength, 6);
    link.CloseLink();
}

TEST_F(SystemLink, TcpPeerClosingMidResponseNeitherSpinsNorRaisesSigpipe)
{
    // A default SIGPIPE action kills the process on a send to a reset connection, unless
    // the send asks for no signal.
    struct sigaction old {};
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &dfl, &old);

    TcpPeer peer;
    const Bytes reply = readThreeRegisters();
    peer.serve([&](int fd) {
        if (readExactly(fd, 8, 5000).size() == 8)
            writeAll(fd, Bytes(reply.begin(), reply.begin() + 4));
        // fd is closed when the body returns: the tool sees the end of the stream.
    });
    ASSERT_TRUE(openNet(peer));
    const auto t0 = std::chrono::steady_clock::now();
    const double cpu0 = threadCpuMs();
    EXPECT_FALSE(exchange(11));
    const double cpu = threadCpuMs() - cpu0;
    EXPECT_GE(sinceMs(t0), 950.0); // the time-out is waited out
    EXPECT_LT(cpu, 300.0);
    EXPECT_EQ(link.state.responseLength, 4);

    // The peer is gone: the first send draws a reset, the later ones would raise SIGPIPE.
    link.setReceiveTimeoutMs(100);
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(exchange(11));
    link.CloseLink();
    sigaction(SIGPIPE, &old, nullptr);
}

TEST_F(SystemLink, TcpPeerThatNeverReadsFailsTheExchangeAtItsDeadlineInsteadOfBlocking)
{
    // The peer accepts and never reads, so its receive buffer and the link's send buffer
    // fill and a send can go no further. Both are made small, so that a few frames fill
    // them (the link's send buffer would grow to megabytes). If a send blocks, the peer
    // frees it after 30 s by reading.
    TcpPeer peer(2048);
    std::promise<void> release;
    std::promise<std::size_t> drained;
    std::shared_future<void> released = release.get_future().share();
    peer.serve([&, released](int fd) {
        released.wait_for(30s);
        drained.set_value(readExactly(fd, SIZE_MAX, 10000).size()); // up to the link's close
    });
    ASSERT_TRUE(openNet(peer));
    const int own = socketConnectedTo(peer.port);
    ASSERT_GE(own, 0);
    const int small = 4096;
    ASSERT_EQ(setsockopt(own, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);

    const auto t0 = std::chrono::steady_clock::now();
    const Bytes payload(kMaxPayload, 0x55);
    std::size_t offered = 0;
    link.setReceiveTimeoutMs(20);
    for (int i = 0; i < 40; ++i) {
        EXPECT_FALSE(link.ExchangeFrame(1, 0x10, 7, payload.data(), static_cast<std::uint16_t>(payload.size())));
        offered += payload.size() + 4;
    }
    link.setReceiveTimeoutMs(1000);
    const auto t1 = std::chrono::steady_clock::now();
    EXPECT_FALSE(exchange(7));
    offered += kRequest.size();
    const double last = sinceMs(t1);
    const double all = sinceMs(t0);
    link.CloseLink();
    release.set_value();
    const std::size_t received = drained.get_future().get();

    EXPECT_LT(all, 15000.0) << "a send to a peer that never reads blocked";
    EXPECT_GE(last, 950.0);
    EXPECT_LT(last, 5000.0);
    EXPECT_LT(received, offered) << "no send was cut short: the buffers never filled and this proves nothing";
}

TEST_F(SystemLink, TcpCloseLinkClosesTheConnection)
{
    TcpPeer peer;
    std::promise<bool> closed;
    peer.serve([&](int fd) { closed.set_value(waitForClose(fd, 5000)); });
    ASSERT_TRUE(openNet(peer));
    EXPECT_EQ(link.openCount(), 1);
    link.CloseLink();
    EXPECT_EQ(link.closeCount(), 1);
    EXPECT_TRUE(closed.get_future().get());
}

TEST_F(SystemLink, TcpPortTextFollowsAtolUpToItsLowSixteenBits)
{
    for (const QString &text : {QStringLiteral("  +%1xyz"), QStringLiteral("%1")}) {
        TcpPeer peer;
        peer.serve([&](int fd) { waitForClose(fd, 5000); });
        link.state.transport = Transport::Tcp;
        link.state.peerAddress = QStringLiteral("127.0.0.1");
        link.state.peerPort = text.arg(peer.port + 65536); // the number above 65535 keeps its low bits
        EXPECT_TRUE(link.OpenLink()) << link.state.peerPort.toStdString();
        link.CloseLink();
    }
}

TEST_F(SystemLink, TcpAddressFormsThatInetAddrReadsAsLoopbackConnect)
{
    // Short forms, hexadecimal and octal parts, one 32-bit number, text after white space:
    // all of them 127.0.0.1, where the peer listens and nowhere else.
    for (const char *text : {"127.1", "0x7f.1", "0177.0.0.1", "2130706433", "127.0.0.1 junk"}) {
        TcpPeer peer;
        peer.serve([&](int fd) { waitForClose(fd, 5000); });
        link.state.transport = Transport::Tcp;
        link.state.peerAddress = QString::fromLatin1(text);
        link.state.peerPort = peer.portText();
        EXPECT_TRUE(link.OpenLink()) << text;
        link.CloseLink();
    }
}

TEST_F(SystemLink, TcpRefusedConnectionFailsQuicklyAndLeaksNothing)
{
    std::uint16_t freePort = 0;
    {
        TcpPeer probe; // bound and closed again: nobody listens there afterwards
        freePort = probe.port;
    }
    const int fds = openFdCount();
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i) {
        link.state.transport = Transport::Tcp;
        link.state.peerAddress = QStringLiteral("127.0.0.1");
        link.state.peerPort = QString::number(freePort);
        EXPECT_FALSE(link.OpenLink());
        EXPECT_FALSE(link.isOpen());
    }
    EXPECT_LT(sinceMs(t0), 5000.0);
    EXPECT_EQ(openFdCount(), fds) << "a failed connect left its socket open";
    EXPECT_EQ(link.openCount(), 0);
}

TEST_F(SystemLink, TcpConnectWithoutAnAnswerGivesUpAfterAboutThreeSeconds)
{
    // A listener that never accepts, with its queue filled: Linux then drops further SYNs,
    // so the next connect gets no answer at all, as from an address where nobody is.
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    socklen_t len = sizeof a;
    getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        const int f = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        connect(f, reinterpret_cast<sockaddr *>(&a), sizeof a);
        fillers.push_back(f);
    }
    std::this_thread::sleep_for(200ms);

    const int fds = openFdCount();
    link.state.transport = Transport::Tcp;
    link.state.peerAddress = QStringLiteral("127.0.0.1");
    link.state.peerPort = QString::number(ntohs(a.sin_port));
    const auto t0 = std::chrono::steady_clock::now();
    const bool opened = link.OpenLink();
    const double wall = sinceMs(t0);
    link.CloseLink();
    const int fdsAfter = openFdCount();
    for (int f : fillers)
        close(f);
    close(listener);
    if (opened)
        GTEST_SKIP() << "this kernel answered a connect to a full queue";
    EXPECT_GE(wall, 2500.0);
    EXPECT_LT(wall, 10000.0);
    EXPECT_EQ(fdsAfter, fds) << "the timed-out connect left its socket open";
}

TEST_F(SystemLink, TcpUnusableSettingTextsFailWithoutConnecting)
{
    const int fds = openFdCount();
    const auto t0 = std::chrono::steady_clock::now();
    link.state.transport = Transport::Tcp;
    for (const char *address : {"", "not an address", "300.1.2.3", "0.0.0.0"}) {
        link.state.peerAddress = QString::fromLatin1(address);
        link.state.peerPort = QStringLiteral("4001");
        EXPECT_FALSE(link.OpenLink()) << address;
    }
    link.state.peerAddress = QStringLiteral("127.0.0.1");
    for (const char *port : {"", "abc", "0", "65536"}) {
        link.state.peerPort = QString::fromLatin1(port);
        EXPECT_FALSE(link.OpenLink()) << port;
    }
    EXPECT_LT(sinceMs(t0), 1000.0);
    EXPECT_EQ(openFdCount(), fds);
}

// ---- pseudo-terminal ----------------------------------------------------------------------

TEST_F(SystemLink, PtyResponseInPiecesIsAcceptedWhileMessagesAreProcessed)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    const Bytes reply = readThreeRegisters();
    std::promise<Bytes> seen;
    std::thread peer([&] {
        seen.set_value(readExactly(pty.master, 8, 5000));
        play(pty.master, {{0, Bytes(reply.begin(), reply.begin() + 3)},
                          {50, Bytes(reply.begin() + 3, reply.begin() + 8)},
                          {300, Bytes(reply.begin() + 8, reply.end())}});
    });
    ASSERT_TRUE(openPty(pty));
    EXPECT_TRUE(exchange(11));
    peer.join();
    EXPECT_EQ(seen.get_future().get(), kRequest);
    EXPECT_EQ(response(), reply);
    EXPECT_EQ(host.rx.toStdString(), hexSpaced(reply));
    EXPECT_GT(host.processCalls, 100); // one turn a millisecond for 350 ms and more
    link.CloseLink();
}

TEST_F(SystemLink, PtyStaleBytesArePurged)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    ASSERT_TRUE(openPty(pty));
    writeAll(pty.master, hexBytes("55 AA 55 AA 01 03"));
    std::this_thread::sleep_for(150ms);
    std::thread peer([&] {
        if (readExactly(pty.master, 8, 5000).size() == 8)
            writeAll(pty.master, writeEcho());
    });
    EXPECT_TRUE(exchange(8));
    peer.join();
    EXPECT_EQ(response(), writeEcho());
    link.CloseLink();
}

TEST_F(SystemLink, PtySilenceOverTheTimeOutFailsEvenAfterBytes)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    const Bytes reply = readThreeRegisters();
    std::thread peer([&] {
        if (readExactly(pty.master, 8, 5000).size() == 8)
            play(pty.master,
                 {{0, Bytes(reply.begin(), reply.begin() + 4)}, {1700, Bytes(reply.begin() + 4, reply.end())}});
    });
    ASSERT_TRUE(openPty(pty));
    const auto t0 = std::chrono::steady_clock::now();
    const double cpu0 = threadCpuMs();
    EXPECT_FALSE(exchange(11));
    const double wall = sinceMs(t0);
    const double cpu = threadCpuMs() - cpu0;
    peer.join();
    EXPECT_GE(wall, 950.0);
    EXPECT_LT(wall, 1650.0);
    EXPECT_LT(cpu, 500.0) << "waiting for the line should sleep, not spin";
    EXPECT_EQ(link.state.responseLength, 4);
    link.CloseLink();
}

TEST_F(SystemLink, PtyHeldByAnotherProgramDoesNotOpen)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    QProcess holder;
    holder.start(QStringLiteral(RELVIX_PORT_HOLDER), {pty.path});
    ASSERT_TRUE(holder.waitForStarted(5000));
    ASSERT_TRUE(holder.waitForReadyRead(10000));
    ASSERT_EQ(holder.readAllStandardOutput().trimmed(), QByteArray("held"));
    EXPECT_FALSE(openPty(pty));
    EXPECT_FALSE(link.isOpen());
    // Said as the user needs it: in use, and by whom.
    EXPECT_EQ(link.openFailure().kind, OpenFailure::Kind::InUse);
    EXPECT_TRUE(link.openFailure().holder.startsWith(QStringLiteral("link_port_holder, pid ")))
        << link.openFailure().holder.toStdString();
    holder.closeWriteChannel(); // the other program lets go
    ASSERT_TRUE(holder.waitForFinished(10000));
    EXPECT_TRUE(openPty(pty));
    link.CloseLink();
}

TEST_F(SystemLink, PtyHeldByThisProgramDoesNotOpenASecondTime)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    {
        QSerialPort holder;
        holder.setPortName(pty.path);
        ASSERT_TRUE(holder.open(QIODevice::ReadWrite)) << holder.errorString().toStdString();
        EXPECT_FALSE(openPty(pty));
    }
    ASSERT_TRUE(openPty(pty));
    // And while the link has it, nobody else gets it.
    QSerialPort other;
    other.setPortName(pty.path);
    EXPECT_FALSE(other.open(QIODevice::ReadWrite));
    link.CloseLink();
}

TEST_F(SystemLink, PtyTerminalSettingsInForceBeforeTheOpenAreBackAfterTheClose)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    termios before{};
    ASSERT_EQ(tcgetattr(pty.slave, &before), 0);
    cfsetispeed(&before, B4800);
    cfsetospeed(&before, B4800);
    before.c_cflag = (before.c_cflag & ~CSIZE) | CS7 | CSTOPB;
    ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &before), 0);
    ASSERT_EQ(tcgetattr(pty.slave, &before), 0);

    ASSERT_TRUE(openPty(pty, QStringLiteral("19200,e,8,1")));
    termios during{};
    ASSERT_EQ(tcgetattr(pty.slave, &during), 0);
    EXPECT_EQ(cfgetospeed(&during), speed_t(B19200));
    EXPECT_EQ(during.c_cflag & CSIZE, tcflag_t(CS8));
    EXPECT_EQ(during.c_cflag & CSTOPB, tcflag_t(0));
    link.CloseLink();

    termios after{};
    ASSERT_EQ(tcgetattr(pty.slave, &after), 0);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(cfgetispeed(&after), cfgetispeed(&before));
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    EXPECT_EQ(0, memcmp(after.c_cc, before.c_cc, sizeof after.c_cc));
}

TEST_F(SystemLink, PtyModeTextsThePortCannotUseDoNotStopTheOpen)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    for (const QString &mode :
         {QStringLiteral("garbage"), QStringLiteral("19200,x,9,3"), QString(), QStringLiteral("19200,m,5,1.5")}) {
        ASSERT_TRUE(openPty(pty, mode)) << mode.toStdString();
        std::thread peer([&] {
            if (readExactly(pty.master, 8, 5000).size() == 8)
                writeAll(pty.master, writeEcho());
        });
        EXPECT_TRUE(exchange(8)) << mode.toStdString();
        peer.join();
        link.CloseLink();
    }
}

TEST_F(SystemLink, PtyMissingPortDoesNotOpen)
{
    link.state.transport = Transport::Serial;
    link.state.serialMode = QStringLiteral("9600,n,8,1");
    for (const char *name : {"", "/dev/relvix-no-such-port", "/nonexistent/pts/77"}) {
        link.state.portName = QString::fromLatin1(name);
        EXPECT_FALSE(link.OpenLink()) << name;
    }
}

TEST_F(SystemLink, PtyLineGoingDeadIsReportedAsFailedReadsPacedAtAMillisecond)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    std::unique_ptr<SerialIo> port = systemLinkOpener().openSerial(pty.path, QStringLiteral("9600,n,8,1"));
    ASSERT_TRUE(port);
    EXPECT_EQ(port->baudRate(), 9600);
    pty.closeMaster(); // the reader's end of the line is gone

    int failed = 0;
    const auto t0 = std::chrono::steady_clock::now();
    const double cpu0 = threadCpuMs();
    for (int i = 0; i < 200; ++i) {
        std::uint8_t b = 0;
        if (port->readByte(b) == SerialIo::Read::Failed)
            ++failed;
    }
    const double wall = sinceMs(t0);
    const double cpu = threadCpuMs() - cpu0;
    EXPECT_GE(failed, 190);
    EXPECT_GE(wall, 180.0) << "each failed read should take about a millisecond";
    EXPECT_LT(cpu, 150.0);
}

TEST_F(SystemLink, PtyLineGoingDeadMidResponseEndsAtTheTimeOutWithoutSpinning)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    std::thread peer([&] {
        if (readExactly(pty.master, 8, 5000).size() == 8) {
            writeAll(pty.master, hexBytes("01 03"));
            std::this_thread::sleep_for(50ms);
            pty.closeMaster();
        }
    });
    ASSERT_TRUE(openPty(pty));
    const auto t0 = std::chrono::steady_clock::now();
    const double cpu0 = threadCpuMs();
    EXPECT_FALSE(exchange(7));
    const double cpu = threadCpuMs() - cpu0;
    peer.join();
    EXPECT_GE(sinceMs(t0), 950.0);
    EXPECT_LT(cpu, 500.0);
    EXPECT_EQ(link.state.responseLength, 2);
    link.CloseLink();
}
