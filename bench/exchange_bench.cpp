// Measures the reader link against a peer thread over loopback TCP and a pseudo-terminal:
//  - latency: from the moment the peer writes the response's last byte to ExchangeFrame
//    returning true (median and 99th percentile);
//  - cost of waiting: process CPU time used while one exchange waits out its 1000 ms
//    time-out against a silent peer;
//  - flood: processor time per byte of the receive rule, and the exchange thread's
//    processor time while a TCP peer streams 10 MB/s of bytes that never form a frame;
//  - stall: a TCP peer that accepts and never reads, so that the socket buffers fill;
//  - stream: a serial line typed as 50 baud that never stops sending (takes ~16 s).
// Usage: exchange_bench [rounds] [latency|flood|stall|stream ...]; no section names: all.
// Prints figures; never passes or fails.
#include "link/crc16.h"
#include "link/readerlink.h"

#include <QCoreApplication>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <set>
#include <string>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

using namespace relvix;
using Wall = std::chrono::steady_clock;

namespace {

double processCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

double threadCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

double sinceMs(Wall::time_point t0)
{
    return std::chrono::duration<double, std::milli>(Wall::now() - t0).count();
}

std::int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Wall::now().time_since_epoch()).count();
}

class Host : public ExchangeHost {
public:
    void processMessages() override { QCoreApplication::processEvents(); }
};

// Read holding registers 0x0110..0x0111 of slave 1, and a reply of 9 bytes.
const std::uint8_t kPayload[] = {0x01, 0x10, 0x00, 0x02};
constexpr int kRequestLength = 8;

std::vector<std::uint8_t> reply()
{
    std::vector<std::uint8_t> r{0x01, 0x03, 0x04, 0x00, 0x0F, 0x00, 0xF0};
    const std::uint16_t crc = Crc16(static_cast<int>(r.size()), r.data());
    r.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    r.push_back(static_cast<std::uint8_t>(crc >> 8));
    return r;
}

bool readRequest(int fd, int timeoutMs)
{
    int got = 0;
    std::uint8_t buf[64];
    while (got < kRequestLength) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0)
            return false;
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return false;
        got += static_cast<int>(n);
    }
    return true;
}

void writeAll(int fd, const std::uint8_t *b, std::size_t n)
{
    while (n > 0) {
        const ssize_t w = write(fd, b, n);
        if (w <= 0)
            return;
        b += w;
        n -= static_cast<std::size_t>(w);
    }
}

// The peer: answers each request with the reply, all but the last byte at once and the
// last byte 2 ms later, stamping the moment it hands that byte to the system. A request
// it is told to ignore gets no answer.
struct Peer {
    std::atomic<std::int64_t> lastByteNs{0};
    std::atomic<bool> silent{false};
    std::atomic<bool> stop{false};

    void serve(int fd)
    {
        const auto r = reply();
        while (!stop) {
            if (!readRequest(fd, 200)) {
                continue;
            }
            if (silent)
                continue;
            writeAll(fd, r.data(), r.size() - 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            lastByteNs = nowNs();
            writeAll(fd, r.data() + r.size() - 1, 1);
        }
    }
};

struct Figures {
    double medianMs = 0, p99Ms = 0, timeoutWallMs = 0, timeoutCpuMs = 0;
    int failures = 0;
};

Figures measure(ReaderLink &link, Peer &peer, int rounds)
{
    Figures f;
    std::vector<double> lat;
    for (int i = 0; i < rounds; ++i) {
        const bool ok = link.ExchangeFrame(1, 3, 9, kPayload, sizeof kPayload);
        const std::int64_t done = nowNs();
        if (!ok) {
            ++f.failures;
            continue;
        }
        lat.push_back((done - peer.lastByteNs.load()) / 1e6);
    }
    std::sort(lat.begin(), lat.end());
    if (!lat.empty()) {
        f.medianMs = lat[lat.size() / 2];
        f.p99Ms = lat[std::min(lat.size() - 1, static_cast<std::size_t>(lat.size() * 0.99))];
    }
    peer.silent = true;
    const auto t0 = Wall::now();
    const double cpu0 = processCpuMs();
    link.ExchangeFrame(1, 3, 9, kPayload, sizeof kPayload);
    f.timeoutCpuMs = processCpuMs() - cpu0;
    f.timeoutWallMs = std::chrono::duration<double, std::milli>(Wall::now() - t0).count();
    peer.silent = false;
    return f;
}

void print(const char *path, const Figures &f, int rounds)
{
    std::printf("%-4s last byte sent -> exchange returns: median %.3f ms, p99 %.3f ms (%d exchanges, %d failed)\n",
                path, f.medianMs, f.p99Ms, rounds, f.failures);
    std::printf("%-4s waiting out the 1000 ms time-out: wall %.0f ms, process CPU %.1f ms\n", path, f.timeoutWallMs,
                f.timeoutCpuMs);
}

// A listener on 127.0.0.1 with a port the system picks; receiveBuffer > 0 shrinks the
// receive buffer that accepted connections inherit.
struct Listener {
    explicit Listener(int receiveBuffer = 0)
    {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        if (receiveBuffer > 0)
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        listen(fd, 1);
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~Listener() { close(fd); }
    int acceptOne(int timeoutMs) const
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0)
            return -1;
        return accept(fd, nullptr, nullptr);
    }
    int fd = -1;
    std::uint16_t port = 0;
};

bool openTcp(ReaderLink &link, std::uint16_t port)
{
    link.state.transport = Transport::Tcp;
    link.state.peerAddress = QStringLiteral("127.0.0.1");
    link.state.peerPort = QString::number(port);
    return link.OpenLink();
}

// ---- flood

void floodFigures(Host &host)
{
    // The receive rule alone: 64 MB of zero bytes, which never carry a matching CRC, so
    // every byte from the seventh of each 1500 on is tested.
    {
        std::vector<std::uint8_t> buffer(kFrameBufferSize);
        std::int32_t length = 0;
        ReceiveRule rule(buffer.data(), length, 7);
        constexpr long kBytes = 64L << 20;
        const double cpu0 = threadCpuMs();
        long accepted = 0;
        for (long i = 0; i < kBytes; ++i)
            accepted += rule.push(0x00) ? 1 : 0;
        const double cpu = threadCpuMs() - cpu0;
        std::printf("flood receive rule: %.2f ns of processor time per byte (%ld MB, %ld accepted)\n",
                    cpu * 1e6 / kBytes, kBytes >> 20, accepted);
    }

    // A TCP peer streaming zero bytes at 10 MB/s (about a 100 Mbit/s line) from the
    // request on, for the whole 1000 ms of the exchange.
    constexpr long kRate = 10'000'000;
    Listener listener;
    std::atomic<bool> stop{false};
    std::atomic<long> written{0};
    std::thread peer([&] {
        const int c = listener.acceptOne(10000);
        if (c < 0)
            return;
        if (readRequest(c, 5000)) {
            const std::vector<std::uint8_t> zeros(kRate / 1000 * 4, 0x00);
            const auto t0 = Wall::now();
            while (!stop) {
                const long due = static_cast<long>(sinceMs(t0) * (kRate / 1000.0));
                long left = due - written;
                while (left > 0 && !stop) {
                    const ssize_t w = send(c, zeros.data(), std::min<std::size_t>(left, zeros.size()), MSG_NOSIGNAL);
                    if (w <= 0)
                        break;
                    written += w;
                    left -= w;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        close(c);
    });
    ReaderLink link(host);
    if (openTcp(link, listener.port)) {
        const auto t0 = Wall::now();
        const double cpu0 = threadCpuMs();
        const bool ok = link.ExchangeFrame(1, 3, 9, kPayload, sizeof kPayload);
        const double cpu = threadCpuMs() - cpu0;
        const double wall = sinceMs(t0);
        stop = true;
        std::printf("flood tcp at 10 MB/s: exchange %s after %.0f ms, its thread used %.0f ms of processor time "
                    "(%.0f %% of a core); the peer wrote %.1f MB\n",
                    ok ? "accepted" : "failed", wall, cpu, 100.0 * cpu / wall, written / 1e6);
        link.CloseLink();
    } else {
        std::printf("flood tcp could not connect\n");
    }
    stop = true;
    peer.join();
}

// ---- stall

void stallFigures(Host &host)
{
    // The peer accepts and never reads. Frames of the largest size are sent with a 0 ms
    // time-out until far more than the socket buffers hold has been offered (the sending
    // side grows to 4 MB on Linux), then one exchange with the usual 1000 ms is timed. A
    // send that blocks is freed only when the peer gives up after 15 s and closes.
    Listener listener(2048);
    std::promise<void> done;
    std::thread peer([&, finished = done.get_future()] {
        const int c = listener.acceptOne(10000);
        if (c < 0)
            return;
        const bool gaveUp = finished.wait_for(std::chrono::seconds(15)) != std::future_status::ready;
        if (gaveUp)
            std::printf("stall: the peer gave up after 15 s and closed the connection\n");
        close(c);
    });
    ReaderLink link(host);
    if (openTcp(link, listener.port)) {
        std::vector<std::uint8_t> payload(kMaxPayload, 0x55);
        link.setReceiveTimeoutMs(0);
        double longest = 0;
        long offered = 0;
        const auto fill0 = Wall::now();
        for (int i = 0; i < 4000; ++i) {
            const auto t0 = Wall::now();
            link.ExchangeFrame(1, 0x10, 7, payload.data(), static_cast<std::uint16_t>(payload.size()));
            longest = std::max(longest, sinceMs(t0));
            offered += kFrameBufferSize;
        }
        const double fillMs = sinceMs(fill0);
        link.setReceiveTimeoutMs(1000);
        const auto t0 = Wall::now();
        const bool ok = link.ExchangeFrame(1, 0x10, 7, payload.data(), static_cast<std::uint16_t>(payload.size()));
        const double wall = sinceMs(t0);
        std::printf("stall tcp: %.1f MB offered in 4000 exchanges with a 0 ms time-out took %.0f ms, the longest "
                    "%.0f ms; then one exchange with 1000 ms %s after %.0f ms\n",
                    offered / 1e6, fillMs, longest, ok ? "accepted" : "failed", wall);
        link.CloseLink();
    } else {
        std::printf("stall tcp could not connect\n");
    }
    done.set_value();
    peer.join();
}

// A pseudo-terminal pair whose far end is raw and held open, so that the line stays up.
struct RawPty {
    int master = -1, slave = -1;
    char name[128] = {};
};

RawPty openRawPty()
{
    RawPty p;
    p.master = posix_openpt(O_RDWR | O_NOCTTY);
    grantpt(p.master);
    unlockpt(p.master);
    ptsname_r(p.master, p.name, sizeof p.name);
    p.slave = open(p.name, O_RDWR | O_NOCTTY);
    termios t{};
    tcgetattr(p.slave, &t);
    cfmakeraw(&t);
    tcsetattr(p.slave, TCSANOW, &t);
    return p;
}

// ---- stream

void streamFigures(Host &host)
{
    // A pseudo-terminal typed as 50 baud; the peer answers the request with a zero byte
    // every 5 ms and never stops, so only the exchange's overall bound ends it.
    const RawPty pty = openRawPty();
    const int master = pty.master, slave = pty.slave;
    const char *name = pty.name;
    std::atomic<bool> stop{false};
    std::thread peer([&] {
        if (!readRequest(master, 5000))
            return;
        const std::uint8_t zero = 0;
        while (!stop) {
            writeAll(master, &zero, 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    ReaderLink link(host);
    link.state.transport = Transport::Serial;
    link.state.portName = QString::fromLocal8Bit(name);
    link.state.serialMode = QStringLiteral("50,n,8,1");
    if (link.OpenLink()) {
        const std::uint32_t bound = link.serialOverallBoundMs();
        const auto t0 = Wall::now();
        const bool ok = link.ExchangeFrame(1, 3, 7, kPayload, sizeof kPayload);
        std::printf("stream pty at 50 baud: bound %u ms, exchange %s after %.0f ms\n", bound,
                    ok ? "accepted" : "failed", sinceMs(t0));
        link.CloseLink();
    } else {
        std::printf("stream pty could not open %s\n", name);
    }
    stop = true;
    peer.join();
    close(slave);
    close(master);
}

// ---- guard

// The strict rule listens after each accepted answer for a second one. Its cost is the time
// from the peer handing over the answer's last byte to the return of the exchange, less the
// same under the window's rule (which returns at once), on a pseudo-terminal typed at each
// speed; the budget is 3.5 characters of 11 bits and 1 ms.
void guardFigures(Host &host, int rounds)
{
    for (const int baud : {9600, 19200, 115200}) {
        double median[2] = {0, 0}, worst[2] = {0, 0};
        for (const AnswerRule rule : {AnswerRule::FirstValid, AnswerRule::Strict}) {
            const RawPty pty = openRawPty();
            const int master = pty.master, slave = pty.slave;
            const char *name = pty.name;
            std::atomic<bool> stop{false};
            std::atomic<std::int64_t> sentNs{0};
            std::thread peer([&] {
                const auto r = reply();
                while (!stop)
                    if (readRequest(master, 200)) {
                        writeAll(master, r.data(), r.size());
                        sentNs = nowNs();
                    }
            });
            ReaderLink link(host);
            link.setAnswerRule(rule);
            link.state.transport = Transport::Serial;
            link.state.portName = QString::fromLocal8Bit(name);
            link.state.serialMode = QStringLiteral("%1,n,8,1").arg(baud);
            std::vector<double> costs;
            if (link.OpenLink()) {
                for (int i = 0; i < rounds; ++i)
                    if (link.ExchangeFrame(1, 3, 7, kPayload, sizeof kPayload))
                        costs.push_back(double(nowNs() - sentNs) / 1e6);
                link.CloseLink();
            }
            stop = true;
            peer.join();
            close(slave);
            close(master);
            std::sort(costs.begin(), costs.end());
            const int k = rule == AnswerRule::Strict ? 1 : 0;
            if (!costs.empty()) {
                median[k] = costs[costs.size() / 2];
                worst[k] = costs[costs.size() * 95 / 100];
            }
        }
        const double budget = 3.5 * 11 * 1000.0 / baud + 1.0;
        std::printf("guard pty %6d baud: last byte to return, window's rule median %.2f ms (p95 %.2f), strict "
                    "median %.2f ms (p95 %.2f): guard %.2f ms (p95 %.2f), budget %.2f ms\n",
                    baud, median[0], worst[0], median[1], worst[1], median[1] - median[0], worst[1] - worst[0], budget);
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int rounds = 300;
    std::set<std::string> sections;
    for (int i = 1; i < argc; ++i) {
        if (std::atoi(argv[i]) > 0)
            rounds = std::atoi(argv[i]);
        else
            sections.insert(argv[i]);
    }
    auto wanted = [&](const char *s) { return sections.empty() || sections.count(s) > 0; };
    Host host;
    if (wanted("flood"))
        floodFigures(host);
    if (wanted("stall"))
        stallFigures(host);
    if (wanted("stream"))
        streamFigures(host);
    if (wanted("guard"))
        guardFigures(host, rounds);
    if (!wanted("latency"))
        return 0;

    // ---- TCP on loopback
    {
        const int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a);
        listen(listener, 1);
        socklen_t len = sizeof a;
        getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len);
        Peer peer;
        std::thread t([&] {
            pollfd p{listener, POLLIN, 0};
            if (poll(&p, 1, 10000) <= 0)
                return;
            const int c = accept(listener, nullptr, nullptr);
            int one = 1;
            setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            peer.serve(c);
            close(c);
        });
        ReaderLink link(host);
        link.state.transport = Transport::Tcp;
        link.state.peerAddress = QStringLiteral("127.0.0.1");
        link.state.peerPort = QString::number(ntohs(a.sin_port));
        if (link.OpenLink()) {
            print("tcp", measure(link, peer, rounds), rounds);
            link.CloseLink();
        } else {
            std::printf("tcp  could not connect\n");
        }
        peer.stop = true;
        t.join();
        close(listener);
    }

    // ---- pseudo-terminal
    {
        const RawPty pty = openRawPty();
        const int master = pty.master, slave = pty.slave;
        const char *name = pty.name;
        Peer peer;
        std::thread th([&] { peer.serve(master); });
        ReaderLink link(host);
        link.state.transport = Transport::Serial;
        link.state.portName = QString::fromLocal8Bit(name);
        link.state.serialMode = QStringLiteral("19200,n,8,1");
        if (link.OpenLink()) {
            print("pty", measure(link, peer, rounds), rounds);
            link.CloseLink();
        } else {
            std::printf("pty  could not open %s\n", name);
        }
        peer.stop = true;
        th.join();
        close(slave);
        close(master);
    }
    return 0;
}
