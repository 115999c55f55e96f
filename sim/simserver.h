#pragma once
#include "simline.h"
#include "virtualreader.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <memory>

namespace relvix::sim {

namespace detail {
class Engine;
}

// Virtual readers on one line, run on a thread of their own (so that a caller blocked in an
// exchange is still answered), reachable over TCP on loopback and over a pseudo-terminal.
// There is one reader at first; more can share the line, each answering only its own
// address (a broadcast reaches them all). On the pseudo-terminal a reader with a line speed
// answers only while the tool's port is set to that speed; over TCP every reader answers.
// All member functions are safe to call from any thread.
class SimServer {
public:
    SimServer();
    // A server without a thread of its own, for driving it through peers of other kinds and
    // without real time (the fuzz target): the engine runs on the calling thread, and the
    // calls run there at once; that thread runs the engine's posted events.
    struct OnCallersThread {};
    explicit SimServer(OnCallersThread);
    ~SimServer(); // stops the thread, closes everything

    // Listen on address:port (port 0 picks a free one). Returns the port, or 0 on failure.
    quint16 listenTcp(const QString &address = QStringLiteral("127.0.0.1"), quint16 port = 0);
    // Open a pseudo-terminal; returns the path the tool opens as its port name ("" on failure,
    // and always on Windows, which has none).
    QString openPty();
    // Close the reader's side of the pseudo-terminal (the line goes dead for the tool).
    void closePty();

    void setFaults(const FaultScript &faults);
    FaultScript faults() const;

    // The line's model: local echo and half-duplex collisions (see WireSchedule), from the
    // next bytes on.
    void setLineMode(LineMode mode);
    LineMode lineMode() const;
    // Wire times where the line has no speed: over TCP, and on a pseudo-terminal whose speed
    // cannot be told (default 19200 baud).
    void setLineBaud(int baud);
    int lineBaud() const;
    // Stray random bytes to the tool, about this many a second on each link (0 none, at
    // most 1000).
    void setNoiseRate(double perSecond);
    double noiseRate() const;
    // Over TCP a request for an address no reader has gets exception 0B after this many ms,
    // as from a gateway with no device behind it; -1 for none (the default).
    void setGatewayDelayMs(int ms);
    int gatewayDelayMs() const;

    // Runs fn on the server thread with the first reader's register map, and waits for it.
    void withReader(const std::function<void(VirtualReader &)> &fn);
    // The same with the reader at this index (0 the first); false when there is none.
    bool withReader(int index, const std::function<void(VirtualReader &)> &fn);
    // The same with the first reader at this slave address; false when there is none.
    bool withReaderAt(std::uint8_t address, const std::function<void(VirtualReader &)> &fn);
    // Puts one more reader on the line (a new one answers at address 1 until setup changes
    // it) and returns its index.
    int addReader(const std::function<void(VirtualReader &)> &setup = {});
    // The readers' addresses now, in the order of their indexes.
    QList<std::uint8_t> readerAddresses() const;

    // Sends raw bytes to whoever is connected (TCP clients and the pseudo-terminal) now.
    void inject(const QByteArray &bytes);

    // Every frame received and sent, with a timestamp: "12:00:00.123 RX 01 03 ...".
    // Tags: RX a whole request (any address), TX a response as it starts to go out (with the
    // faults applied to its bytes, and on a half-duplex line garbled where it collided),
    // ECHO the tool's bytes returned by the line, COLLISION transmissions that overlapped
    // on a half-duplex line, GATEWAY an absent address answered with exception 0B,
    // NOISE noise bytes (also the stray ones), INJECT injected bytes, DROP bytes that
    // never formed a request, OPEN/CLOSED a connection or the pseudo-terminal, CLOSE a close
    // made by closeAfterBytes, ENDLESS start/stop of an endless stream, SPEED a request that
    // a reader did not answer because the line was at another speed, OVERRUN output that
    // the other side left unread beyond 64 KiB (a TCP client is dropped, the pseudo-
    // terminal's output discarded), REFUSED a TCP client beyond the cap (closed at once),
    // ACCEPT an accept that failed. Byte dumps show at most 256 bytes and then the count;
    // the latest 1 Mi characters are kept.
    QStringList log() const;
    void clearLog();
    // Counts for tests.
    int requestCount() const;       // complete requests seen (any address)
    int tcpConnectionCount() const; // connections accepted so far
    int tcpOpenConnections() const; // connections open now
    void setLogToStderr(bool on);

    quint16 tcpPort() const;          // the listening port, 0 when not listening
    QString ptyPath() const;          // the open pseudo-terminal's path, "" when none
    void closeTcpConnections();       // drop every TCP client (the listener stays)
    int activeEndlessStreams() const; // endless streams running now (TCP and pseudo-terminal)
    // Silence after which bytes that formed no request are dropped (default 30 ms); tests that
    // write a request in pieces far apart raise it.
    void setJunkSilenceMs(int ms);
    // The engine, to attach peers of other kinds to (see OnCallersThread).
    detail::Engine &engine();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace relvix::sim
