// Measures relvix-sim under abuse, as a separate process on loopback:
//  - junk:    resident memory of the program before and after one client sends 10 MB and
//             50 MB of random bytes;
//  - clients: 200 clients that send requests and never read, for 10 s, with plain answers
//             and with 4 KiB of noise after each: memory growth and how many the program
//             dropped;
//  - fair:    while one client and then four flood requests (and read their answers), the
//             round-trip time of a quiet client's requests (median, maximum);
//  - backlog: 5000 connects started at once: how many waited 900 ms or more;
//  - fdlimit: with the program's open-file limit at 1024, 1100 idle connections: its processor
//             use while they stay, how many it refused at once, and whether a new client is
//             answered once some have gone;
//  - stdin:   processor time the program spends on one 32 MB line on standard input.
// Prints figures; never passes or fails. Run under scripts/loopback-only.
//   sim_bench [junk|clients[=SECONDS]|fair|backlog|fdlimit|stdin[=MB]]...   (none: all)
#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Wall = std::chrono::steady_clock;

namespace {

double msSince(Wall::time_point t)
{
    return std::chrono::duration<double, std::milli>(Wall::now() - t).count();
}

QByteArray withCrc(QByteArray frame)
{
    std::uint16_t crc = 0xFFFF;
    for (char c : frame) {
        crc ^= static_cast<std::uint8_t>(c);
        for (int i = 0; i < 8; ++i)
            crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001) : static_cast<std::uint16_t>(crc >> 1);
    }
    frame.append(static_cast<char>(crc & 0xFF));
    frame.append(static_cast<char>(crc >> 8));
    return frame;
}

const QByteArray kReadAddress = withCrc(QByteArray::fromHex("010301000001")); // answer: 7 bytes
const QByteArray kReadUid = withCrc(QByteArray::fromHex("010301120008"));     // answer: 21 bytes

// The program, started with --tcp, and where it listens.
class Sim {
public:
    explicit Sim(const QStringList &extra = {})
    {
        // RELVIX_SIM runs another build of the program, e.g. an older one for figures before a change.
        const QString other = qEnvironmentVariable("RELVIX_SIM");
        process_.setProgram(other.isEmpty() ? QStringLiteral(RELVIX_SIM_PROGRAM) : other);
        process_.setArguments(QStringList{QStringLiteral("--tcp")} + extra);
        process_.setProcessChannelMode(QProcess::SeparateChannels);
        process_.start();
        if (!process_.waitForStarted(10000))
            return;
        const QString line = readLine(10000);
        const QStringList words = line.split(QLatin1Char(' '));
        if (words.size() == 3 && words[0] == u"tcp")
            port_ = words[2].toUShort();
    }
    ~Sim()
    {
        process_.kill();
        process_.waitForFinished(10000);
    }
    quint16 port() const { return port_; }
    qint64 pid() const { return process_.processId(); }
    QProcess &process() { return process_; }
    QString readLine(int ms)
    {
        const auto start = Wall::now();
        while (!process_.canReadLine() && msSince(start) < ms) {
            if (!process_.waitForReadyRead(100) && process_.state() == QProcess::NotRunning)
                break;
        }
        return QString::fromLocal8Bit(process_.readLine()).trimmed();
    }
    // "VmRSS" or "VmHWM" in kB.
    long statusKb(const char *key) const
    {
        QFile f(QStringLiteral("/proc/%1/status").arg(pid()));
        if (!f.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray &line : f.readAll().split('\n')) {
            if (line.startsWith(key))
                return line.mid(static_cast<qsizetype>(std::strlen(key)) + 1).trimmed().split(' ').value(0).toLong();
        }
        return -1;
    }
    // User plus system time in ms.
    double cpuMs() const
    {
        QFile f(QStringLiteral("/proc/%1/stat").arg(pid()));
        if (!f.open(QIODevice::ReadOnly))
            return -1;
        const QByteArray all = f.readAll();
        const QList<QByteArray> fields = all.mid(all.lastIndexOf(')') + 2).split(' ');
        const double ticks = fields.value(11).toDouble() + fields.value(12).toDouble(); // utime, stime
        return ticks * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
    }

private:
    QProcess process_;
    quint16 port_ = 0;
};

int connectTo(quint16 port, bool blocking)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | (blocking ? 0 : SOCK_NONBLOCK), 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 && errno != EINPROGRESS) {
        ::close(fd);
        return -1;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool sendAll(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

// Reads n bytes within ms; false on time-out or close.
bool readN(int fd, int n, int ms)
{
    const auto start = Wall::now();
    char buffer[512];
    while (n > 0) {
        const int left = ms - static_cast<int>(msSince(start));
        if (left <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, left) <= 0)
            continue;
        const ssize_t k = ::recv(fd, buffer, std::min<size_t>(sizeof buffer, static_cast<size_t>(n)), 0);
        if (k <= 0)
            return false;
        n -= static_cast<int>(k);
    }
    return true;
}

// An exchange of the tool's kind; the time until the whole answer came, or -1.
double exchangeMs(int fd, const QByteArray &request, int answer, int ms = 10000)
{
    const auto start = Wall::now();
    if (!sendAll(fd, request) || !readN(fd, answer, ms))
        return -1;
    return msSince(start);
}

void junk(int megabytes)
{
    Sim sim;
    const int fd = connectTo(sim.port(), true);
    if (sim.port() == 0 || fd < 0 || exchangeMs(fd, kReadAddress, 7) < 0) {
        std::printf("junk     could not start\n");
        return;
    }
    const long before = sim.statusKb("VmRSS");
    QRandomGenerator random(12345);
    QByteArray chunk(64 * 1024, '\0');
    for (int sent = 0; sent < megabytes * 1024 * 1024; sent += static_cast<int>(chunk.size())) {
        random.fillRange(reinterpret_cast<quint32 *>(chunk.data()), chunk.size() / 4);
        sendAll(fd, chunk);
    }
    // The program has taken it all in once a request after a pause is answered again (random
    // bytes may form a request, so drain whatever comes back first).
    const auto start = Wall::now();
    double ms = -1;
    while (ms < 0 && msSince(start) < 60000) {
        ::usleep(100 * 1000);
        char drain[4096];
        while (::recv(fd, drain, sizeof drain, MSG_DONTWAIT) > 0) {
        }
        ms = exchangeMs(fd, kReadAddress, 7, 1000);
    }
    const long after = sim.statusKb("VmRSS");
    std::printf("junk     %d MB of random bytes from one client: resident %ld -> %ld kB (+%.1f MB), peak %ld kB, "
                "taken in after %.0f ms\n",
                megabytes, before, after, (after - before) / 1024.0, sim.statusKb("VmHWM"), msSince(start));
    ::close(fd);
}

// With noise, 4 KiB follow each answer, so unread output piles up at once.
void clients(int count, int seconds, bool noise)
{
    Sim sim(noise ? QStringList{QStringLiteral("--noise-after"), QString(8192, QLatin1Char('A'))} : QStringList{});
    if (sim.port() == 0) {
        std::printf("clients  could not start\n");
        return;
    }
    std::vector<int> fds;
    for (int i = 0; i < count; ++i) {
        fds.push_back(connectTo(sim.port(), false));
        pollfd p{fds.back(), POLLOUT, 0};
        ::poll(&p, 1, 5000); // connected before the next, so that the listen backlog plays no part
    }
    QByteArray batch;
    for (int i = 0; i < 64; ++i)
        batch += kReadUid;
    const long before = sim.statusKb("VmRSS");
    std::vector<bool> dropped(fds.size(), false);
    std::vector<long> samples;
    const auto start = Wall::now();
    auto nextSample = start;
    while (msSince(start) < seconds * 1000.0) {
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (dropped[i] || fds[i] < 0)
                continue;
            const ssize_t n =
                ::send(fds[i], batch.constData(), static_cast<size_t>(batch.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                dropped[i] = true; // reset or closed by the program
            if (n >= 0) {
                char probe;
                if (::recv(fds[i], &probe, 1, MSG_PEEK | MSG_DONTWAIT) == 0)
                    dropped[i] = true;
            }
        }
        if (Wall::now() >= nextSample) {
            samples.push_back(sim.statusKb("VmRSS"));
            nextSample += std::chrono::seconds(1);
        }
        ::usleep(1000);
    }
    const long after = sim.statusKb("VmRSS");
    const int gone = static_cast<int>(std::count(dropped.begin(), dropped.end(), true));
    QStringList perSecond;
    for (long kb : samples)
        perSecond << QString::number(kb / 1024.0, 'f', 1);
    std::printf("clients  %d clients sending, never reading, %d s%s: resident %ld -> %ld kB (%.2f MB/s), peak %ld kB, "
                "%d of them dropped by the program; MB each second: %s\n",
                count, seconds, noise ? ", 4 KiB noise after each answer" : "", before, after,
                (after - before) / 1024.0 / seconds, sim.statusKb("VmHWM"), gone,
                qPrintable(perSecond.join(QLatin1Char(' '))));
    for (int fd : fds)
        ::close(fd);
}

void fair(int flooders, int rounds)
{
    Sim sim;
    std::vector<int> floods;
    for (int i = 0; i < flooders; ++i)
        floods.push_back(connectTo(sim.port(), true));
    int quiet = connectTo(sim.port(), true);
    if (sim.port() == 0 || quiet < 0 || std::count(floods.begin(), floods.end(), -1) > 0) {
        std::printf("fair     could not start\n");
        return;
    }
    std::atomic<bool> stop{false};
    std::atomic<long long> answered{0};
    QByteArray batch;
    for (int i = 0; i < 4096; ++i)
        batch += kReadAddress;
    std::vector<std::thread> threads;
    for (int flood : floods) {
        threads.emplace_back([&, flood] {
            while (!stop && sendAll(flood, batch)) {
            }
        });
        threads.emplace_back([&, flood] {
            char buffer[65536];
            while (!stop) {
                pollfd p{flood, POLLIN, 0};
                if (::poll(&p, 1, 50) <= 0)
                    continue;
                const ssize_t n = ::recv(flood, buffer, sizeof buffer, 0);
                if (n <= 0)
                    break;
                answered += n / 7;
            }
        });
    }
    ::usleep(500 * 1000); // the flood is under way
    const long long answeredBefore = answered.load();
    const auto measured = Wall::now();
    std::vector<double> times;
    int lost = 0;
    int over60 = 0;
    for (int i = 0; i < rounds; ++i) {
        const double ms = exchangeMs(quiet, kReadAddress, 7, 10000);
        if (ms < 0) {
            ++lost; // its late answer would spoil the next exchange: start afresh
            ::close(quiet);
            quiet = connectTo(sim.port(), true);
        } else {
            times.push_back(ms);
            over60 += ms > 60 ? 1 : 0;
        }
        ::usleep(20 * 1000);
    }
    const double floodRate = static_cast<double>(answered.load() - answeredBefore) / msSince(measured) * 1000.0;
    stop = true;
    for (int flood : floods)
        ::shutdown(flood, SHUT_RDWR);
    for (std::thread &t : threads)
        t.join();
    std::sort(times.begin(), times.end());
    if (times.empty()) {
        std::printf("fair     quiet client beside %d flooders: no answer within 10 s in %d tries\n", flooders, rounds);
    } else {
        std::printf(
            "fair     quiet client beside %d flooder%s: median %.2f ms, max %.2f ms over %zu exchanges (%d over "
            "60 ms, %d unanswered after 10 s); flooders answered %.0f requests a second\n",
            flooders, flooders == 1 ? "" : "s", times[times.size() / 2], times.back(), times.size(), over60, lost,
            floodRate);
    }
    for (int flood : floods)
        ::close(flood);
    ::close(quiet);
}

void backlog(int count)
{
    Sim sim;
    if (sim.port() == 0) {
        std::printf("backlog  could not start\n");
        return;
    }
    struct Attempt {
        int fd;
        Wall::time_point start;
        double ms = -1;
    };
    std::vector<Attempt> attempts;
    attempts.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        attempts.push_back({connectTo(sim.port(), false), Wall::now()});
    const auto start = Wall::now();
    int pending = count;
    while (pending > 0 && msSince(start) < 10000) {
        std::vector<pollfd> polls;
        std::vector<std::size_t> index;
        for (std::size_t i = 0; i < attempts.size(); ++i) {
            if (attempts[i].ms < 0 && attempts[i].fd >= 0) {
                polls.push_back({attempts[i].fd, POLLOUT, 0});
                index.push_back(i);
            }
        }
        if (polls.empty())
            break;
        if (::poll(polls.data(), polls.size(), 20) <= 0)
            continue;
        for (std::size_t k = 0; k < polls.size(); ++k) {
            if (polls[k].revents == 0)
                continue;
            Attempt &a = attempts[index[k]];
            a.ms = std::chrono::duration<double, std::milli>(Wall::now() - a.start).count();
            --pending;
        }
    }
    int slow = 0;
    double worst = 0;
    for (const Attempt &a : attempts) {
        slow += a.ms >= 900 ? 1 : 0;
        worst = std::max(worst, a.ms);
    }
    std::printf("backlog  %d connects at once: %d waited 900 ms or more, slowest %.0f ms, %d not done in 10 s\n", count,
                slow, worst, pending);
    for (const Attempt &a : attempts)
        ::close(a.fd);
}

// The program is started with a soft open-file limit of limit; the bench keeps its own.
void fdLimit(int limit, int connections)
{
    rlimit own{};
    ::getrlimit(RLIMIT_NOFILE, &own);
    rlimit lowered = own;
    lowered.rlim_cur = static_cast<rlim_t>(limit);
    ::setrlimit(RLIMIT_NOFILE, &lowered);
    Sim sim;
    ::setrlimit(RLIMIT_NOFILE, &own);
    if (sim.port() == 0) {
        std::printf("fdlimit  could not start\n");
        return;
    }
    std::vector<int> fds;
    for (int i = 0; i < connections; ++i) {
        fds.push_back(connectTo(sim.port(), false));
        pollfd p{fds.back(), POLLOUT, 0};
        ::poll(&p, 1, 5000);
    }
    ::usleep(1000 * 1000);
    // Closed by the program: the connection reads its end.
    int refused = 0;
    for (int fd : fds) {
        char probe;
        refused += ::recv(fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT) == 0 ? 1 : 0;
    }
    const double cpu0 = sim.cpuMs();
    const auto start = Wall::now();
    ::usleep(3000 * 1000);
    const double cpuShare = (sim.cpuMs() - cpu0) / msSince(start) * 100.0;
    // A new client while they all stay, and another once a hundred have gone.
    auto tryClient = [&] {
        const int fd = connectTo(sim.port(), true);
        const auto asked = Wall::now();
        QString said = QStringLiteral("no answer in 2 s");
        char answer[7];
        if (fd >= 0 && sendAll(fd, kReadAddress)) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 2000) == 1) {
                const ssize_t n = ::recv(fd, answer, sizeof answer, MSG_WAITALL);
                if (n == 0 || (n < 0 && errno == ECONNRESET)) // closed, with the request unread
                    said = QStringLiteral("closed at once (%1 ms)").arg(msSince(asked), 0, 'f', 2);
                else if (n == 7)
                    said = QStringLiteral("answered in %1 ms").arg(msSince(asked), 0, 'f', 2);
            }
        }
        if (fd >= 0)
            ::close(fd);
        return said;
    };
    const QString whileFull = tryClient();
    for (int i = 0; i < 100 && i < connections; ++i) {
        ::close(fds[static_cast<std::size_t>(i)]);
        fds[static_cast<std::size_t>(i)] = -1;
    }
    ::usleep(200 * 1000);
    const QString afterClose = tryClient();
    std::printf("fdlimit  %d idle connections at an open-file limit of %d: program processor %.1f %% of a core, %d "
                "refused at once; a new client: %s; after 100 closed: %s\n",
                connections, limit, cpuShare, refused, qPrintable(whileFull), qPrintable(afterClose));
    for (int fd : fds) {
        if (fd >= 0)
            ::close(fd);
    }
}

void stdinLine(int megabytes)
{
    Sim sim;
    if (sim.port() == 0) {
        std::printf("stdin    could not start\n");
        return;
    }
    const double cpu0 = sim.cpuMs();
    const auto start = Wall::now();
    QByteArray line(megabytes * 1024 * 1024, 'x');
    line += "\nshow\n";
    sim.process().write(line);
    QString answer;
    while (msSince(start) < 600000 && !answer.startsWith(QStringLiteral("address"))) {
        answer = sim.readLine(1000);
        if (sim.process().state() == QProcess::NotRunning)
            break;
    }
    std::printf("stdin    one %d MB line, then show: program processor time %.0f ms, answered after %.0f ms%s\n",
                megabytes, sim.cpuMs() - cpu0, msSince(start),
                answer.startsWith(QStringLiteral("address")) ? "" : " (no answer)");
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // 5000 connects need as many descriptors here and in the program, which inherits the limit.
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    // "stdin=256" sets the line's size in MB, "clients=60" how long the clients send.
    QStringList wanted;
    int stdinMb = 32;
    int clientSeconds = 10;
    for (const QString &arg : app.arguments().mid(1)) {
        wanted << arg.section(QLatin1Char('='), 0, 0);
        if (arg.startsWith(QLatin1String("stdin=")))
            stdinMb = std::max(1, arg.section(QLatin1Char('='), 1).toInt());
        if (arg.startsWith(QLatin1String("clients=")))
            clientSeconds = std::max(1, arg.section(QLatin1Char('='), 1).toInt());
    }
    const bool all = wanted.isEmpty();
    auto want = [&](const char *name) { return all || wanted.contains(QLatin1String(name)); };
    if (want("junk")) {
        junk(10);
        junk(50);
    }
    if (want("clients")) {
        clients(200, clientSeconds, false);
        clients(200, clientSeconds, true);
    }
    if (want("fair")) {
        fair(1, 50);
        fair(4, 50);
    }
    if (want("backlog"))
        backlog(5000);
    if (want("fdlimit"))
        fdLimit(1024, 1100);
    if (want("stdin"))
        stdinLine(stdinMb);
    return 0;
}
