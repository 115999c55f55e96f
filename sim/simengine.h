#pragma once
// The server thread's side of SimServer: the readers on the line, the listener, the peers,
// and the state the caller's threads share with it. Used by simserver.cpp and simpeers.cpp.
#include "simframing.h"
#include "simline.h"
#include "virtualreader.h"

#include <QElapsedTimer>
#include <QList>
#include <QMutex>
#include <QMutexLocker>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

class QTcpServer;
class QTcpSocket;

namespace relvix::sim::detail {

class Engine;
class Peer;

// Output waiting for all peers together (one peer may have 64 KiB, simpeers.cpp); past it the
// peer with the most waiting goes first. Thousands of clients just under the bound of one
// would still hold hundreds of MB.
constexpr qint64 MaxTotalOutput = 8 * 1024 * 1024;

QString logBytes(const QByteArray &bytes);

// State shared between the caller's threads and the server thread.
struct Shared {
    QThread thread;
    Engine *engine = nullptr;

    mutable QMutex mutex;
    QStringList log;
    qsizetype logChars = 0; // characters in log
    FaultScript faults;
    quint16 port = 0;
    QString ptyPath;

    std::atomic<int> requests{0};
    std::atomic<int> connections{0};
    std::atomic<int> open{0};
    std::atomic<bool> logToStderr{false};
    std::atomic<int> junkSilenceMs{JunkSilenceMs};
    // The line's model, read at each request.
    std::atomic<bool> lineEcho{false};
    std::atomic<bool> halfDuplex{false};
    std::atomic<int> lineBaud{DefaultLineBaud}; // wire times where the line has no speed
    std::atomic<int> gatewayDelayMs{-1};        // exception 0B for absent addresses over TCP; -1 off
    std::atomic<double> noiseRate{0};           // stray bytes a second to the tool

    void appendLog(const QString &text);
    FaultScript faultsNow() const
    {
        QMutexLocker lock(&mutex);
        return faults;
    }
    // The faults for the request at hand, counting down a limited run of faulty requests.
    FaultScript faultsForRequest()
    {
        QMutexLocker lock(&mutex);
        if (faults.faultyRequests == 0)
            return {};
        const FaultScript now = faults;
        if (faults.faultyRequests > 0)
            --faults.faultyRequests;
        return now;
    }
    // Runs fn on the engine's thread and waits; runs it directly when already there, where a
    // blocking queued call would wait for itself.
    void run(const std::function<void()> &fn);
};

// Turns taken in one pass of the event loop, one request each at most: a few hundred
// microseconds of work, after which new input, connects and timers are seen again.
constexpr int TurnsPerPass = 32;
// Descriptors left for what is not a TCP client: standard input, output and error, the
// listening socket, the pseudo-terminal's two ends, the signal pipe, the event loops' wake-up
// descriptors, the connection accepted only to be closed, and files the system opens on
// its own; 12 are in use at most, 32 leave room.
constexpr int ReservedDescriptors = 32;

// The most TCP clients served at once: the open-file limit (RLIMIT_NOFILE's soft limit, read
// at each connect) less ReservedDescriptors, 992 at the usual 1024; no cap where there is no
// such limit.
int clientCap();

class Engine : public QObject {
public:
    explicit Engine(Shared *shared) : d(shared)
    {
        readers.push_back(std::make_unique<VirtualReader>());
        clock.start();
    }

    Shared *d;
    // Held by pointer so that a reader stays where it is while others are added.
    std::vector<std::unique_ptr<VirtualReader>> readers;
    QTcpServer *server = nullptr;
    QList<Peer *> peers;
    Peer *pty = nullptr;    // the pseudo-terminal's peer
    qint64 outputTotal = 0; // waiting output of all peers
    // The peers with input, each waiting for a turn: one request each in order, round and
    // round, so that a quiet client's request waits for one turn of each flooder at most.
    QList<Peer *> round;
    bool serveDue = false; // serve() is posted to the event loop
    QElapsedTimer clock;   // the line's time
    qint64 nowNs() const { return clock.nsecsElapsed(); }

    quint16 listen(const QString &address, quint16 port);
    QString openPty();
    void closePty();
    void closeTcp();
    void inject(const QByteArray &bytes);
    void handleFrame(Peer *peer, const QByteArray &frame);
    // The peer has input: it joins the round, at its end.
    void schedule(Peer *peer);
    void serve();
    void accepted(QTcpSocket *socket);
    void peerClosed(Peer *peer);
    void shedOutput();
    // Every peer takes up the noise rate now set.
    void restartNoise();
    int endlessCount() const;
    void shutdown();
};

} // namespace relvix::sim::detail
