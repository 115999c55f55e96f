#pragma once
// The link's seams to the system and to whoever drives it: the clock, the byte I/O of an
// open serial port or TCP connection, the opener that makes them, and the host that processes
// messages while an exchange waits. The real ones are in systemio.cpp; tests put in fakes.
#include <QString>
#include <cstdint>
#include <memory>

namespace relvix {

// What a serial exchange needs of whoever drives it: pending messages dispatched while it
// waits for bytes (a window keeps painting and takes its Cancel click; a command-line tool
// notices Ctrl+C). What the exchange sends and receives goes to frame observers instead.
class ExchangeHost {
public:
    virtual ~ExchangeHost() = default;
    virtual void processMessages() = 0;
};

// Monotonic milliseconds. The time-out rules read only this, so tests can drive them.
class Clock {
public:
    virtual ~Clock() = default;
    virtual std::uint32_t nowMs() = 0;
    // The same clock in microseconds, for waits shorter than a few milliseconds (the guard
    // after an answer). A clock that has no finer reading gives its milliseconds.
    virtual std::uint64_t nowUs() { return std::uint64_t{nowMs()} * 1000u; }
    // Lets about ms milliseconds pass without looking at anything (a connection that can
    // deliver nothing more is waited out this way). The real clock sleeps; a test clock
    // just moves on.
    virtual void sleepMs(int ms);
};
Clock &steadyClock();

// An open serial port, as the exchange uses it.
class SerialIo {
public:
    enum class Read { Byte, Nothing, Failed };
    virtual ~SerialIo() = default;
    // Clear the input kept by the port and by the driver. Win32 also aborts and clears the
    // output, as its PurgeComm does; Linux leaves a request still on its way out alone.
    virtual void purge() = 0;
    // One synchronous write of the whole frame; the result is not looked at.
    virtual void write(const std::uint8_t *bytes, int count) = 0;
    // At most one byte: returns as soon as one is there, else after about 1 ms.
    // Failed means the port could not be read (gone, I/O error); the call still takes
    // about 1 ms so that a dead port never spins the processor.
    virtual Read readByte(std::uint8_t &byte) = 0;
    // The line speed in force, for the overall bound of an exchange; 0 when unknown.
    virtual qint32 baudRate() const = 0;
    // Empty while the port works; once a write or read has failed for good (the device is
    // gone, an I/O error, a hang-up), the system's reason ("Input/output error").
    virtual QString lostReason() const { return {}; }
};

// An open TCP connection, as the exchange uses it.
class NetIo {
public:
    virtual ~NetIo() = default;
    // True when a receive would not block; waits at most timeoutMs (0: just look).
    virtual bool waitReadable(int timeoutMs) = 0;
    // One receive of up to maxCount bytes. 0 for a closed connection, negative on error.
    virtual int receive(std::uint8_t *bytes, int maxCount) = 0;
    enum class Send { Done, Failed, TimedOut };
    // One send of the whole frame, given at most timeoutMs to hand it all to the system: a
    // peer that never reads fills the socket buffers, and a send without a limit would
    // then wait for ever. TimedOut when part of the frame was still unsent at the limit;
    // Failed when the connection refused it (reset, closed). Never raises SIGPIPE.
    virtual Send send(const std::uint8_t *bytes, int count, int timeoutMs) = 0;
    // After a failed receive or send: the system's reason ("Connection reset by peer").
    virtual QString lostReason() const { return {}; }
};

// Why a port or connection could not be opened: what it means for the user, and the
// system's own words for it.
struct OpenFailure {
    enum class Kind : std::uint8_t {
        None,             // nothing failed, or the opener cannot tell
        NoSuchDevice,     // no port of that name
        PermissionDenied, // the user may not open it
        InUse,            // another program holds it
        NotSerialPort,    // it exists, but is no serial port
        BadSetting,       // the port refused the speed or framing asked for
        Refused,          // TCP: nothing listens there
        TimedOut,         // TCP: no answer to the connect in time
        Unreachable,      // TCP: no route to that address
        BadAddress,       // TCP: an address or port text that cannot be connected to
        Other,
    };
    Kind kind = Kind::None;
    QString systemText; // e.g. "Permission denied", as the system says it
    QString holder;     // InUse: the program holding the port ("minicom, pid 4242"), where it was found
};
// "no such device", "permission denied", "in use", "not a serial port", "bad setting",
// "connection refused", "timed out", "unreachable", "bad address", "failed".
QString openFailureName(OpenFailure::Kind kind);

// Opens the real port or connection; tests put in one that hands out fakes.
class LinkOpener {
public:
    virtual ~LinkOpener() = default;
    virtual std::unique_ptr<SerialIo> openSerial(const QString &portName, const QString &serialMode) = 0;
    virtual std::unique_ptr<NetIo> openNetwork(const QString &peerAddress, const QString &peerPort) = 0;
    // Why the latest open gave nothing; Kind::None where the opener cannot tell.
    virtual OpenFailure lastOpenFailure() const { return {}; }
};
LinkOpener &systemLinkOpener();
// The same, but a network peer may be a host name or an IPv6 literal (the command line's
// link); the window's opener reads only dotted IPv4 addresses.
LinkOpener &namedLinkOpener();

// How long a TCP connect may take before the open fails.
constexpr int kConnectTimeoutMs = 3000;

} // namespace relvix
