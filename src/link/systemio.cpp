// The system's clock, the setting texts of a network link, the TCP connection and the opener,
// over the socket calls of socketsystem.h.
#include "link/systemio.h"
#include "link/linkio.h"
#include "link/serialbackend.h"
#include "link/serialmode.h"
#include "link/socketsystem.h"

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

class SocketIo final : public NetIo {
public:
    explicit SocketIo(sockets::Handle s) : socket_(s) {}
    ~SocketIo() override
    {
        sockets::close(socket_);
        sockets::releaseLibrary();
    }

    bool waitReadable(int timeoutMs) override
    {
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            const int left = static_cast<int>(std::max<qint64>(0, timeoutMs - timer.elapsed()));
            short revents = 0;
            const int r = sockets::pollOne(socket_, POLLIN, left, revents);
            // A hang-up or an error counts as readable, so that receive reports it.
            if (r > 0)
                return (revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0;
            if (r == 0 || !sockets::interrupted())
                return false;
        }
    }

    int receive(std::uint8_t *bytes, int maxCount) override
    {
        for (;;) {
            const auto n =
                ::recv(socket_, reinterpret_cast<char *>(bytes), static_cast<sockets::IoLength>(maxCount), 0);
            if (n < 0 && sockets::interrupted())
                continue;
            if (n < 0)
                lostReason_ = sockets::errorText(sockets::lastError());
            return static_cast<int>(n);
        }
    }

    Send send(const std::uint8_t *bytes, int count, int timeoutMs) override
    {
        const sockets::SendWithoutWaiting withoutWaiting(socket_);
        QElapsedTimer timer;
        timer.start();
        int done = 0;
        while (done < count) {
            const auto n =
                ::send(socket_, reinterpret_cast<const char *>(bytes + done),
                       static_cast<sockets::IoLength>(count - done), sockets::SendWithoutWaiting::sendFlags());
            if (n > 0) {
                done += static_cast<int>(n);
                continue;
            }
            if (n < 0 && sockets::interrupted())
                continue;
            if (n < 0 && sockets::wouldBlock()) {
                // The buffers are full: the peer is not reading. Wait for room until the
                // time is up, then leave the rest of the frame unsent.
                const qint64 left = timeoutMs - timer.elapsed();
                if (left <= 0)
                    return Send::TimedOut;
                if (sockets::waitWritable(socket_, static_cast<int>(left)) < 0 && !sockets::interrupted()) {
                    lostReason_ = sockets::errorText(sockets::lastError());
                    return Send::Failed;
                }
                continue;
            }
            lostReason_ = sockets::errorText(sockets::lastError());
            return Send::Failed;
        }
        return Send::Done;
    }

    QString lostReason() const override { return lostReason_; }

private:
    sockets::Handle socket_;
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

        if (const int started = sockets::startLibrary(); started != 0) {
            failure_ = {OpenFailure::Kind::Other, sockets::errorText(started), {}};
            return nullptr;
        }
        const sockets::Handle s = sockets::openStream(AF_INET);
        if (s == sockets::kNone) {
            failure_ = {OpenFailure::Kind::Other, sockets::errorText(sockets::lastError()), {}};
            sockets::releaseLibrary();
            return nullptr;
        }
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_port = htons(port);
        peer.sin_addr.s_addr = address;
        if (const int error =
                sockets::connectBounded(s, reinterpret_cast<const sockaddr *>(&peer), sizeof peer, kConnectTimeoutMs);
            error != 0) {
            failure_ = sockets::connectFailure(error);
            sockets::close(s);
            sockets::releaseLibrary();
            return nullptr;
        }
        sockets::setNoDelay(s);
        return std::make_unique<SocketIo>(s);
    }

private:
    // A host name or an IPv4 or IPv6 literal, through the system's resolver; each address it
    // gives is tried in turn.
    std::unique_ptr<NetIo> openNamed(const QString &host, const QString &portText)
    {
        failure_ = {};
        if (const int started = sockets::startLibrary(); started != 0) {
            failure_ = {OpenFailure::Kind::Other, sockets::errorText(started), {}};
            return nullptr;
        }
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
            sockets::releaseLibrary();
            return nullptr;
        }
        std::unique_ptr<NetIo> io;
        for (addrinfo *a = found; a && !io; a = a->ai_next) {
            const sockets::Handle s = sockets::openStream(a->ai_family);
            if (s == sockets::kNone) {
                failure_ = {OpenFailure::Kind::Other, sockets::errorText(sockets::lastError()), {}};
                continue;
            }
            if (const int error =
                    sockets::connectBounded(s, a->ai_addr, static_cast<socklen_t>(a->ai_addrlen), kConnectTimeoutMs);
                error != 0) {
                failure_ = sockets::connectFailure(error);
                sockets::close(s);
                continue;
            }
            sockets::setNoDelay(s);
            io = std::make_unique<SocketIo>(s);
        }
        ::freeaddrinfo(found);
        if (!io)
            sockets::releaseLibrary();
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
