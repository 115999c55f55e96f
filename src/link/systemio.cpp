// The real clock, serial port and TCP connection behind the link's seams.
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
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include "link/linkio.h"
#include "link/serialmode.h"
#include "link/systemio.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
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
// Serial port

class PortIo final : public SerialIo {
public:
    explicit PortIo(std::unique_ptr<QSerialPort> port) : port_(std::move(port)) {}

    ~PortIo() override
    {
        // Abort and clear both directions, then close: Qt puts back the terminal settings
        // that were in force before the open.
        port_->clear(QSerialPort::AllDirections);
        port_->close();
    }

    void purge() override
    {
        port_->clear(QSerialPort::AllDirections);
        if (port_->bytesAvailable() > 0)
            port_->readAll();
        port_->clearError();
    }

    void write(const std::uint8_t *bytes, int count) override
    {
        if (count <= 0)
            return;
        if (port_->write(reinterpret_cast<const char *>(bytes), count) < 0)
            noteLost();
        // Synchronous, but bounded: the wire time of the frame plus a second, so that a
        // line held by flow control cannot freeze the tool.
        const qint64 baud = std::max<qint32>(baudRate(), 1200);
        const qint64 limitMs = (WireTimeUs(count, baud) + 999) / 1000 + 1000;
        QElapsedTimer timer;
        timer.start();
        while (port_->bytesToWrite() > 0) {
            const qint64 left = limitMs - timer.elapsed();
            if (left <= 0 || !port_->waitForBytesWritten(static_cast<int>(left)))
                break;
        }
        noteLost();
        port_->clearError();
    }

    Read readByte(std::uint8_t &byte) override
    {
        if (takeBuffered(byte))
            return Read::Byte;
        QElapsedTimer timer;
        timer.start();
        port_->waitForReadyRead(1);
        if (takeBuffered(byte))
            return Read::Byte;
        // A wait that simply ran out reports TimeoutError; anything else (ResourceError when
        // the device or the other end of a pseudo-terminal is gone) is a failed read.
        const QSerialPort::SerialPortError error = port_->error();
        const bool dead = error != QSerialPort::NoError && error != QSerialPort::TimeoutError;
        if (dead)
            noteLost();
        if (error != QSerialPort::NoError)
            port_->clearError();
        // However the wait ended, an empty turn lasts about a millisecond: a dead port fails
        // at once, and without this the exchange would spin on it until its time-out.
        const qint64 leftUs = 1000 - timer.nsecsElapsed() / 1000;
        if (leftUs > 0)
            QThread::usleep(static_cast<unsigned long>(leftUs));
        return dead ? Read::Failed : Read::Nothing;
    }

    qint32 baudRate() const override
    {
        const qint32 baud = port_->baudRate(QSerialPort::Output);
        return baud > 0 ? baud : 0;
    }

    QString lostReason() const override { return lostReason_; }

private:
    // A port that failed in a way no retry mends (the device went away, an I/O error)
    // keeps the first reason the system gave.
    void noteLost()
    {
        const QSerialPort::SerialPortError error = port_->error();
        const bool fatal = error == QSerialPort::ResourceError || error == QSerialPort::WriteError ||
                           error == QSerialPort::ReadError || error == QSerialPort::DeviceNotFoundError;
        if (fatal && lostReason_.isEmpty())
            lostReason_ = port_->errorString();
    }

    bool takeBuffered(std::uint8_t &byte)
    {
        char c = 0;
        if (port_->bytesAvailable() > 0 && port_->getChar(&c)) {
            byte = static_cast<std::uint8_t>(c);
            return true;
        }
        return false;
    }

    std::unique_ptr<QSerialPort> port_;
    QString lostReason_;
};

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
    return ::ioctlsocket(s, FIONBIO, &nonBlocking) == 0;
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
int connectBounded(SocketHandle s, const sockaddr_in &peer, int timeoutMs)
{
    if (!setBlocking(s, false))
        return lastSocketError();
    const int r = ::connect(s, reinterpret_cast<const sockaddr *>(&peer), sizeof peer);
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
    return QString::fromStdString(std::system_category().message(code));
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

// The program that holds a port: "minicom, pid 4242"; empty where it cannot be found. First
// the UUCP-style lock file that Qt and most serial programs take (its first two lines are
// the process id and the program's name), then, on Linux, the processes this user may look
// at that have the device open.
QString portHolder(const QString &devicePath)
{
#ifndef _WIN32
    QString name = devicePath;
    if (name.startsWith(QLatin1String("/dev/")))
        name = name.mid(5);
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    for (const char *dir : {"/var/lock", "/run/lock", "/etc/locks", "/var/spool/locks", "/var/spool/uucp", "/tmp"}) {
        QFile lock(QStringLiteral("%1/LCK..%2").arg(QLatin1String(dir), name));
        if (!lock.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> lines = lock.read(4096).split('\n');
        const QString pid = QString::fromLatin1(lines.value(0).trimmed());
        const QString program = QString::fromLocal8Bit(lines.value(1).trimmed());
        if (pid.toInt() > 0)
            return program.isEmpty() ? QStringLiteral("pid %1").arg(pid)
                                     : QStringLiteral("%1, pid %2").arg(program, pid);
    }
#endif
#ifdef __linux__
    const QString target = QFileInfo(devicePath).canonicalFilePath();
    if (target.isEmpty())
        return {};
    const QDir proc(QStringLiteral("/proc"));
    const QString self = QString::number(QCoreApplication::applicationPid());
    for (const QString &pid : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (pid == self || pid.toInt() <= 0)
            continue;
        const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
        for (const QFileInfo &fd : fds.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
            if (fd.symLinkTarget() != target)
                continue;
            QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
            const QString program =
                comm.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(comm.readAll()).trimmed() : QString();
            return program.isEmpty() ? QStringLiteral("pid %1").arg(pid)
                                     : QStringLiteral("%1, pid %2").arg(program, pid);
        }
    }
#else
    Q_UNUSED(devicePath);
#endif
    return {};
}

// What QSerialPort's open error means for the user. portName as given: a path, or a name
// that Qt looks up under /dev (the system's COM name on Windows).
OpenFailure serialOpenFailure(const QSerialPort &port, const QString &portName)
{
    OpenFailure f;
    f.systemText = port.errorString();
#ifdef _WIN32
    const QString path = portName;
#else
    const QString path = portName.startsWith(QLatin1Char('/')) ? portName : QStringLiteral("/dev/") + portName;
#endif
    switch (port.error()) {
    case QSerialPort::DeviceNotFoundError:
        f.kind = OpenFailure::Kind::NoSuchDevice;
        break;
    case QSerialPort::PermissionError:
    case QSerialPort::OpenError: {
        // Qt reports a port another program holds (its lock file, or exclusive use) as a
        // permission error too; the file's own access rights tell the two apart.
        f.holder = portHolder(path);
#ifndef _WIN32
        const QByteArray local = QFile::encodeName(path);
        const bool mayOpen = ::access(local.constData(), R_OK | W_OK) == 0;
        f.kind = (mayOpen || !f.holder.isEmpty()) ? OpenFailure::Kind::InUse : OpenFailure::Kind::PermissionDenied;
#else
        // Windows says "access denied" for a port another program has open.
        f.kind = OpenFailure::Kind::InUse;
#endif
        break;
    }
    case QSerialPort::UnsupportedOperationError:
        f.kind = OpenFailure::Kind::NotSerialPort;
        break;
    default:
        f.kind = OpenFailure::Kind::Other;
        break;
    }
#ifndef _WIN32
    // A file that is no terminal at all (a regular file, /dev/null) fails in the port
    // settings, whatever Qt calls it.
    if (f.kind == OpenFailure::Kind::Other || f.kind == OpenFailure::Kind::InUse) {
        const QByteArray local = QFile::encodeName(path);
        const int fd = ::open(local.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            if (!::isatty(fd)) {
                f.kind = OpenFailure::Kind::NotSerialPort;
                f.holder.clear();
            }
            ::close(fd);
        }
    }
#endif
    return f;
}

class SystemLinkOpener final : public LinkOpener {
public:
    OpenFailure lastOpenFailure() const override { return failure_; }

    std::unique_ptr<SerialIo> openSerial(const QString &portName, const QString &serialMode) override
    {
        failure_ = {};
        if (portName.isEmpty()) {
            failure_.kind = OpenFailure::Kind::NoSuchDevice;
            failure_.systemText = QStringLiteral("no port name given");
            return nullptr;
        }
        auto port = std::make_unique<QSerialPort>();
        // A bare name is looked up under /dev/, a full path (a pseudo-terminal) is taken as
        // it is. Qt takes a lock file and exclusive use, so a port held by another program
        // fails to open here.
        port->setPortName(portName);
        if (!port->open(QIODevice::ReadWrite)) {
            failure_ = serialOpenFailure(*port, portName);
            return nullptr;
        }
        // What the mode text sets is applied field by field; a field the port refuses (a
        // pseudo-terminal may refuse parity) is skipped, never a reason to fail the open.
        const SerialMode mode = ParseSerialMode(serialMode);
        if (mode.baudRate) {
            port->setBaudRate(*mode.baudRate);
            port->clearError();
        }
        if (mode.parity) {
            port->setParity(*mode.parity);
            port->clearError();
        }
        if (mode.dataBits) {
            port->setDataBits(*mode.dataBits);
            port->clearError();
        }
        if (mode.stopBits) {
            port->setStopBits(*mode.stopBits);
            port->clearError();
        }
        port->clear(QSerialPort::Output);
        port->clear(QSerialPort::Input);
        port->clearError();
        return std::make_unique<PortIo>(std::move(port));
    }

    std::unique_ptr<NetIo> openNetwork(const QString &peerAddress, const QString &peerPort) override
    {
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
        if (const int error = connectBounded(s, peer, kConnectTimeoutMs); error != 0) {
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
    OpenFailure failure_;
};

} // namespace

LinkOpener &systemLinkOpener()
{
    static SystemLinkOpener opener;
    return opener;
}

} // namespace relvix
