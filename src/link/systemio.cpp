// The real clock, TCP connection and link opener behind the link's seams; the serial port
// is the system's serial backend (serialbackend.h).
#ifdef _WIN32
// inet_addr is the conversion whose reading of address texts the settings rely on.
#define _WINSOCK_DEPRECATED_NO_WARNINGS
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include "link/linkio.h"
#include "link/serialbackend.h"
#include "link/serialmode.h"
#include "link/systemio.h"
#include "link/winerror.h"

#include <QElapsedTimer>
#include <QThread>
#include <algorithm>
#include <cstdint>
#include <system_error>

namespace relvix {

// ---------------------------------------------------------------------------------------
// Clock

namespace {

class SteadyClock final : public Clock {
public:
    SteadyClock() { timer_.start(); }
    // A 32-bit millisecond count, as the exchange's time-out rules expect; it wraps after
    // about 49.7 days, which the exchange's unsigned differences tolerate.
    std::uint32_t nowMs() override { return static_cast<std::uint32_t>(timer_.elapsed()); }
    std::uint64_t nowUs() override { return static_cast<std::uint64_t>(timer_.nsecsElapsed() / 1000); }

private:
    QElapsedTimer timer_;
};

} // namespace

void Clock::sleepMs(int ms)
{
    if (ms > 0)
        QThread::msleep(static_cast<unsigned long>(ms));
}

Clock &steadyClock()
{
    static SteadyClock clock;
    return clock;
}

// ---------------------------------------------------------------------------------------
// Setting texts

std::uint16_t ParsePeerPort(const QString &text)
{
    // atol as on the platform the settings come from, where long has 32 bits: leading
    // white space, one sign, decimal digits up to the first other character, and a value
    // past the range of long stays at its limit.
    const QByteArray s = text.toLatin1();
    qsizetype i = 0;
    auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; };
    while (i < s.size() && isBlank(s.at(i)))
        ++i;
    bool negative = false;
    if (i < s.size() && (s.at(i) == '+' || s.at(i) == '-')) {
        negative = s.at(i) == '-';
        ++i;
    }
    std::int64_t magnitude = 0;
    for (; i < s.size() && s.at(i) >= '0' && s.at(i) <= '9'; ++i) {
        magnitude = magnitude * 10 + (s.at(i) - '0');
        if (magnitude > 0x80000000ll)
            magnitude = 0x80000000ll; // enough to know it saturates
    }
    std::int64_t value = negative ? -magnitude : magnitude;
    value = std::clamp<std::int64_t>(value, INT32_MIN, INT32_MAX);
    return static_cast<std::uint16_t>(static_cast<std::uint32_t>(static_cast<std::int32_t>(value)));
}

bool ParsePeerAddress(const QString &text, std::uint32_t &networkOrderAddress)
{
    if (text.contains(QChar(u'\0')))
        return false; // the C conversion would read only the part before it
    // Characters outside Latin-1 turn into '?', which the conversion rejects.
    const QByteArray latin = text.toLatin1();
    const std::uint32_t address = inet_addr(latin.constData());
    if (address == INADDR_NONE && latin != "255.255.255.255")
        return false;
    if (address == INADDR_ANY)
        return false;
    networkOrderAddress = address;
    return true;
}

namespace {

// ---------------------------------------------------------------------------------------
// TCP connection

#ifdef _WIN32
using SocketHandle = SOCKET;
using IoLength = int; // what recv and send take as a length
const SocketHandle kNoSocket = INVALID_SOCKET;
void closeSocket(SocketHandle s)
{
    ::closesocket(s);
}
void releaseSocketLibrary()
{
    ::WSACleanup();
}
bool interrupted()
{
    return false;
}
bool wouldBlock()
{
    return ::WSAGetLastError() == WSAEWOULDBLOCK;
}
// Winsock has no per-call flag for a send that must not block: the socket is switched to
// non-blocking for the length of the send instead.
constexpr int kSendFlags = 0;
#else
using SocketHandle = int;
using IoLength = std::size_t;
const SocketHandle kNoSocket = -1;
void closeSocket(SocketHandle s)
{
    ::close(s);
}
void releaseSocketLibrary() {}
bool interrupted()
{
    return errno == EINTR;
}
bool wouldBlock()
{
    return errno == EAGAIN || errno == EWOULDBLOCK;
}
// A send takes what fits and returns instead of waiting for room: the wait for room is
// bounded separately. A peer that has reset must not kill the process with SIGPIPE.
#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL | MSG_DONTWAIT;
#else
constexpr int kSendFlags = MSG_DONTWAIT;
#endif
#endif

int pollOne(SocketHandle s, short events, int timeoutMs, short &revents)
{
#ifdef _WIN32
    WSAPOLLFD p{s, events, 0};
    const int r = ::WSAPoll(&p, 1, timeoutMs);
#else
    pollfd p{s, events, 0};
    const int r = ::poll(&p, 1, timeoutMs);
#endif
    revents = p.revents;
    return r;
}

bool setBlocking(SocketHandle s, bool blocking)
{
#ifdef _WIN32
    u_long nonBlocking = blocking ? 0 : 1;
    // FIONBIO is an unsigned constant, ioctlsocket takes a long.
    return ::ioctlsocket(s, static_cast<long>(FIONBIO), &nonBlocking) == 0;
#else
    const int flags = ::fcntl(s, F_GETFL, 0);
    if (flags < 0)
        return false;
    return ::fcntl(s, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK)) == 0;
#endif
}

#ifdef _WIN32
// select() for writability or failure (a failed connect shows only there; WSAPoll does
// not report it on older systems). failed tells which.
int selectWritable(SocketHandle s, int timeoutMs, bool &failed)
{
    fd_set writable, failedSet;
    FD_ZERO(&writable);
    FD_ZERO(&failedSet);
    FD_SET(s, &writable);
    FD_SET(s, &failedSet);
    timeval wait{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    const int r = ::select(0, nullptr, &writable, &failedSet, &wait);
    failed = r > 0 && FD_ISSET(s, &failedSet);
    return r;
}
#endif

// Waits at most timeoutMs for room in the send buffer: above 0 there is room (or an error
// that the next send reports), 0 the time ran out, below 0 the wait itself failed.
int waitWritable(SocketHandle s, int timeoutMs)
{
#ifdef _WIN32
    bool failed = false;
    return selectWritable(s, timeoutMs, failed);
#else
    short revents = 0;
    return pollOne(s, POLLOUT, timeoutMs, revents);
#endif
}

int lastSocketError()
{
#ifdef _WIN32
    return ::WSAGetLastError();
#else
    return errno;
#endif
}

#ifdef _WIN32
constexpr int kTimedOutError = WSAETIMEDOUT;
#else
constexpr int kTimedOutError = ETIMEDOUT;
#endif

// Connects within timeoutMs: a blocking connect to an address that does not answer can
// hang for minutes, with the window frozen all that time. 0 when connected, else the
// system's error code (a connect that ran out of time gives the code for "timed out").
int connectBounded(SocketHandle s, const sockaddr *peer, socklen_t peerLength, int timeoutMs)
{
    if (!setBlocking(s, false))
        return lastSocketError();
    const int r = ::connect(s, peer, peerLength);
    if (r != 0) {
#ifdef _WIN32
        if (::WSAGetLastError() != WSAEWOULDBLOCK)
            return lastSocketError();
        bool failed = false;
        const int ready = selectWritable(s, timeoutMs, failed);
        if (ready == 0)
            return kTimedOutError;
        if (ready < 0)
            return lastSocketError();
#else
        if (errno != EINPROGRESS && errno != EINTR)
            return lastSocketError();
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            const int left = static_cast<int>(std::max<qint64>(0, timeoutMs - timer.elapsed()));
            short revents = 0;
            const int p = pollOne(s, POLLOUT, left, revents);
            if (p > 0)
                break;
            if (p == 0)
                return kTimedOutError;
            if (!interrupted())
                return lastSocketError(); // poll itself failed
        }
#endif
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &length) != 0)
            return lastSocketError();
        if (error != 0)
            return error;
    }
    return setBlocking(s, true) ? 0 : lastSocketError();
}

QString systemErrorText(int code)
{
#ifdef _WIN32
    return windowsErrorText(static_cast<DWORD>(code));
#else
    return QString::fromStdString(std::system_category().message(code));
#endif
}

OpenFailure connectFailure(int code)
{
    OpenFailure f;
    f.systemText = systemErrorText(code);
#ifdef _WIN32
    switch (code) {
    case WSAECONNREFUSED:
        f.kind = OpenFailure::Kind::Refused;
        break;
    case WSAETIMEDOUT:
        f.kind = OpenFailure::Kind::TimedOut;
        break;
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
        f.kind = OpenFailure::Kind::Unreachable;
        break;
    default:
        f.kind = OpenFailure::Kind::Other;
    }
#else
    switch (code) {
    case ECONNREFUSED:
        f.kind = OpenFailure::Kind::Refused;
        break;
    case ETIMEDOUT:
        f.kind = OpenFailure::Kind::TimedOut;
        break;
    case ENETUNREACH:
    case EHOSTUNREACH:
        f.kind = OpenFailure::Kind::Unreachable;
        break;
    default:
        f.kind = OpenFailure::Kind::Other;
    }
#endif
    return f;
}

class SocketIo final : public NetIo {
public:
    explicit SocketIo(SocketHandle s) : socket_(s) {}
    ~SocketIo() override
    {
        closeSocket(socket_);
        releaseSocketLibrary();
    }

    bool waitReadable(int timeoutMs) override
    {
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            const int left = static_cast<int>(std::max<qint64>(0, timeoutMs - timer.elapsed()));
            short revents = 0;
            const int r = pollOne(socket_, POLLIN, left, revents);
            // A hang-up or an error counts as readable, so that receive reports it.
            if (r > 0)
                return (revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0;
            if (r == 0 || !interrupted())
                return false;
        }
    }

    int receive(std::uint8_t *bytes, int maxCount) override
    {
        for (;;) {
            const auto n = ::recv(socket_, reinterpret_cast<char *>(bytes), static_cast<IoLength>(maxCount), 0);
            if (n < 0 && interrupted())
                continue;
            if (n < 0)
                lostReason_ = systemErrorText(lastSocketError());
            return static_cast<int>(n);
        }
    }

    Send send(const std::uint8_t *bytes, int count, int timeoutMs) override
    {
#ifdef _WIN32
        struct NonBlocking {
            explicit NonBlocking(SocketHandle h) : s(h) { setBlocking(s, false); }
            ~NonBlocking() { setBlocking(s, true); }
            SocketHandle s;
        } nonBlocking(socket_);
#endif
        QElapsedTimer timer;
        timer.start();
        int done = 0;
        while (done < count) {
            const auto n = ::send(socket_, reinterpret_cast<const char *>(bytes + done),
                                  static_cast<IoLength>(count - done), kSendFlags);
            if (n > 0) {
                done += static_cast<int>(n);
                continue;
            }
            if (n < 0 && interrupted())
                continue;
            if (n < 0 && wouldBlock()) {
                // The buffers are full: the peer is not reading. Wait for room until the
                // time is up, then leave the rest of the frame unsent.
                const qint64 left = timeoutMs - timer.elapsed();
                if (left <= 0)
                    return Send::TimedOut;
                if (waitWritable(socket_, static_cast<int>(left)) < 0 && !interrupted()) {
                    lostReason_ = systemErrorText(lastSocketError());
                    return Send::Failed;
                }
                continue;
            }
            lostReason_ = systemErrorText(lastSocketError());
            return Send::Failed;
        }
        return Send::Done;
    }

    QString lostReason() const override
    {
        return lostReason_;
    }

private:
    SocketHandle socket_;
    QString lostReason_;
};

// ---------------------------------------------------------------------------------------
// The opener

class SystemLinkOpener final : public LinkOpener {
public:
    explicit SystemLinkOpener(bool resolveNames = false) : resolveNames_(resolveNames) {}

    OpenFailure lastOpenFailure() const override { return failure_; }

    std::unique_ptr<SerialIo> openSerial(const QString &portName, const QString &serialMode) override
    {
        failure_ = {};
        if (portName.isEmpty()) {
            failure_.kind = OpenFailure::Kind::NoSuchDevice;
            failure_.systemText = QStringLiteral("no port name given");
            return nullptr;
        }
        return openSystemSerial(portName, ParseSerialMode(serialMode), failure_);
    }

    std::unique_ptr<NetIo> openNetwork(const QString &peerAddress, const QString &peerPort) override
    {
        if (resolveNames_)
            return openNamed(peerAddress, peerPort);
        // Both texts are checked before anything is created, so an address that cannot be
        // read is never connected to in any form.
        failure_ = {};
        std::uint32_t address = 0;
        if (!ParsePeerAddress(peerAddress, address)) {
            failure_ = {
                OpenFailure::Kind::BadAddress, QStringLiteral("'%1' is not an IPv4 address").arg(peerAddress), {}};
            return nullptr;
        }
        const std::uint16_t port = ParsePeerPort(peerPort);
        if (port == 0) {
            failure_ = {
                OpenFailure::Kind::BadAddress, QStringLiteral("port '%1' cannot be connected to").arg(peerPort), {}};
            return nullptr;
        }

#ifdef _WIN32
        WSADATA data;
        if (const int started = ::WSAStartup(MAKEWORD(2, 2), &data); started != 0) {
            failure_ = {OpenFailure::Kind::Other, systemErrorText(started), {}};
            return nullptr;
        }
        const SocketHandle s = ::socket(AF_INET, SOCK_STREAM, 0);
#else
        const SocketHandle s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
#endif
        if (s == kNoSocket) {
            failure_ = {OpenFailure::Kind::Other, systemErrorText(lastSocketError()), {}};
            releaseSocketLibrary();
            return nullptr;
        }
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_port = htons(port);
        peer.sin_addr.s_addr = address;
        if (const int error =
                connectBounded(s, reinterpret_cast<const sockaddr *>(&peer), sizeof peer, kConnectTimeoutMs);
            error != 0) {
            failure_ = connectFailure(error);
            closeSocket(s);
            releaseSocketLibrary();
            return nullptr;
        }
        // Each frame is one send followed by a wait for the answer: no reason to let
        // Nagle's algorithm hold it back.
        int one = 1;
        ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
        return std::make_unique<SocketIo>(s);
    }

private:
    // A host name or an IPv4 or IPv6 literal, through the system's resolver; each address it
    // gives is tried in turn.
    std::unique_ptr<NetIo> openNamed(const QString &host, const QString &portText)
    {
        failure_ = {};
#ifdef _WIN32
        WSADATA data;
        if (const int started = ::WSAStartup(MAKEWORD(2, 2), &data); started != 0) {
            failure_ = {OpenFailure::Kind::Other, systemErrorText(started), {}};
            return nullptr;
        }
#endif
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICSERV;
        addrinfo *found = nullptr;
        const QByteArray name = host.toUtf8(), service = portText.toLatin1();
        if (const int r = ::getaddrinfo(name.constData(), service.constData(), &hints, &found); r != 0 || !found) {
            failure_ = {
                OpenFailure::Kind::BadAddress,
                QStringLiteral("'%1' cannot be resolved: %2").arg(host, QString::fromLocal8Bit(gai_strerror(r))),
                {}};
            releaseSocketLibrary();
            return nullptr;
        }
        std::unique_ptr<NetIo> io;
        for (addrinfo *a = found; a && !io; a = a->ai_next) {
#ifdef _WIN32
            const SocketHandle s = ::socket(a->ai_family, SOCK_STREAM, 0);
#else
            const SocketHandle s = ::socket(a->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
#endif
            if (s == kNoSocket) {
                failure_ = {OpenFailure::Kind::Other, systemErrorText(lastSocketError()), {}};
                continue;
            }
            if (const int error =
                    connectBounded(s, a->ai_addr, static_cast<socklen_t>(a->ai_addrlen), kConnectTimeoutMs);
                error != 0) {
                failure_ = connectFailure(error);
                closeSocket(s);
                continue;
            }
            int one = 1;
            ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
            io = std::make_unique<SocketIo>(s);
        }
        ::freeaddrinfo(found);
        if (!io)
            releaseSocketLibrary();
        return io;
    }

    bool resolveNames_;
    OpenFailure failure_;
};

} // namespace

LinkOpener &systemLinkOpener()
{
    static SystemLinkOpener opener;
    return opener;
}

LinkOpener &namedLinkOpener()
{
    static SystemLinkOpener opener(true);
    return opener;
}

} // namespace relvix
