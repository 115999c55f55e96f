// Measures the reader link against a peer thread over loopback TCP and a pseudo-terminal:
//  - latency: from the moment the peer writes the response's last byte to ExchangeFrame
//    returning true (median and 99th percentile);
//  - cost of waiting: process CPU time used while one exchange waits out its 1000 ms
//    time-out against a silent peer.
// Prints figures; never passes or fails.
#include "link/crc16.h"
#include "link/readerlink.h"

#include <QCoreApplication>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
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

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 300;
    Host host;

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
        link.state.kind = 1;
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
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master);
        unlockpt(master);
        char name[128] = {};
        ptsname_r(master, name, sizeof name);
        const int slave = open(name, O_RDWR | O_NOCTTY); // raw, held so the line stays up
        termios t{};
        tcgetattr(slave, &t);
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
        Peer peer;
        std::thread th([&] { peer.serve(master); });
        ReaderLink link(host);
        link.state.kind = 0;
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
