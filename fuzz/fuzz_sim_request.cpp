// The virtual reader from its inputs inwards: the request handler, the splitting of a byte
// stream into requests, the clients' buffers and turns, and the standard-input commands.
//
// The whole input is first one frame for the request handler, held to the MODBUS RTU rules:
//  - it answers only a frame of at least 4 bytes with a good CRC sent to its own address
//    (never one to the broadcast address 0), and the answer carries that address and a
//    good CRC;
//  - an exception reply is 5 bytes: the request's function code with bit 7 set and a code of
//    01 to 03. A function code of 0x80 and up (those of exception replies) is an unknown
//    function like any other, answered with exception 01: its bit 7 was already set;
//  - a normal answer is one of function 03 (byte count twice the registers asked for) or 06
//    (the request echoed).
//
// Then the same bytes are a script for a server with up to four clients, run on this thread
// without sockets or real time: records of an operation byte, a length byte and that many
// bytes (fewer at the end). The low three bits of the operation say what happens, the next two
// to which client:
//   0 the client sends the bytes         4 its other side reads 64 x length bytes
//   1 the bytes come on standard input   5 the server runs what is due (the turns)
//   2 the client's timers fire now       6 the client hangs up
//   3 a client connects (at most four)   7 every client's timers fire, the server runs
//                                          what is due, and standard input ends
// Client 3 acts like the pseudo-terminal: its unread output is thrown away, not the client.
// After each record the accounts must add up: the engine's count of waiting output is the
// sum of its clients', none of which holds more than 64 KiB; requests are at least 4 bytes;
// no command line is longer than its bound; the log keeps to 1 Mi characters.
#include "link/crc16.h"
#include "simcommands.h"
#include "simengine.h"
#include "simpeers.h"
#include "simserver.h"
#include "virtualreader.h"

#include <QCoreApplication>
#include <QPointer>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

using relvix::sim::CommandContext;
using relvix::sim::InputLines;
using relvix::sim::SimServer;
using relvix::sim::detail::Engine;
using relvix::sim::detail::Peer;

void require(bool condition)
{
    if (!condition)
        std::abort();
}

bool goodCrc(const std::uint8_t *bytes, std::size_t size)
{
    if (size < 4)
        return false;
    const std::uint16_t crc = relvix::Crc16(int(size) - 2, bytes);
    return (crc & 0xFF) == bytes[size - 2] && (crc >> 8) == bytes[size - 1];
}

void checkHandler(const std::uint8_t *data, std::size_t size)
{
    relvix::sim::VirtualReader reader;
    const QByteArray frame(reinterpret_cast<const char *>(data), qsizetype(size));
    const QByteArray reply = reader.handleRequest(frame);
    const bool forUs = goodCrc(data, size) && data[0] == 1; // a new reader answers at address 1
    if (reply.isEmpty()) {
        // Silent only towards others, broadcasts and bad frames.
        require(!forUs);
        return;
    }
    require(forUs);
    const auto *r = reinterpret_cast<const std::uint8_t *>(reply.constData());
    const std::size_t n = std::size_t(reply.size());
    require(goodCrc(r, n));
    require(r[0] == data[0]);
    const std::uint8_t function = data[1];
    const bool known = function == 0x03 || function == 0x06;
    if (r[1] & 0x80) {
        require(r[1] == (function | 0x80));
        require(n == 5);
        require(r[2] >= 1 && r[2] <= 3);
        require(known || r[2] == 1);
        return;
    }
    require(known && r[1] == function);
    if (function == 0x06) {
        require(n == size && std::memcmp(r, data, n) == 0);
    } else {
        require(size == 8);
        const int count = (data[4] << 8) | data[5];
        require(r[2] == 2 * count && n == std::size_t(3 + r[2] + 2));
    }
}

// A client in memory: what it sends waits in in_, what the server writes piles up in out_.
class MemoryPeer final : public Peer {
public:
    MemoryPeer(Engine *engine, int index) : Peer(engine), index_(index) {}
    QString name() const override { return QStringLiteral("memory %1").arg(index_); }
    int lineSpeed() const override { return lineLike() ? 9600 : 0; }
    void arrive(const QByteArray &bytes)
    {
        in_.append(bytes);
        inputReady();
    }
    void read(qsizetype bytes)
    {
        out_.remove(0, qMin(bytes, out_.size()));
        accountOutput();
    }
    void timersFire() { fireRunningTimers(); }

protected:
    void writeRaw(const QByteArray &bytes) override { out_.append(bytes); }
    void closeTransport() override { engine_->peerClosed(this); }
    qint64 transportBacklog() const override { return out_.size(); }
    bool discardsOnOverrun() const override { return lineLike(); }
    void discardTransportOutput() override { out_.clear(); }
    QByteArray readInput(qint64 maxBytes) override
    {
        const QByteArray bytes = in_.left(maxBytes);
        in_.remove(0, bytes.size());
        return bytes;
    }
    bool inputPending() const override { return !in_.isEmpty(); }

private:
    bool lineLike() const { return index_ == 3; }
    int index_;
    QByteArray in_;
    QByteArray out_;
};

void runDue()
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void checkAccounts(Engine &engine)
{
    qint64 total = 0;
    for (const Peer *peer : std::as_const(engine.peers)) {
        require(peer->waitingOutput() >= 0 && peer->waitingOutput() <= 64 * 1024);
        total += peer->waitingOutput();
    }
    require(total == engine.outputTotal);
}

void runScript(const std::uint8_t *data, std::size_t size)
{
    SimServer server(SimServer::OnCallersThread{});
    Engine &engine = server.engine();
    std::array<QPointer<MemoryPeer>, 4> clients;
    auto connectClient = [&](int index) {
        if (clients[std::size_t(index)])
            return;
        auto *peer = new MemoryPeer(&engine, index);
        engine.peers.append(peer);
        clients[std::size_t(index)] = peer;
    };
    connectClient(0);
    InputLines input;
    CommandContext context;
    qsizetype sent = 0;
    auto execute = [&](const QList<InputLines::Line> &lines) {
        for (const InputLines::Line &line : lines) {
            require(line.text.size() <= input.maxBytes() && (!line.tooLong || line.text.isEmpty()));
            if (line.tooLong)
                continue;
            QString message;
            relvix::sim::runCommand(server, QString::fromLocal8Bit(line.text), &message, &context);
            server.setLogToStderr(false); // "log on" would only slow the run down
        }
    };

    for (std::size_t at = 0; at + 2 <= size;) {
        const std::uint8_t op = data[at];
        const std::size_t length = std::min<std::size_t>(data[at + 1], size - at - 2);
        const QByteArray bytes(reinterpret_cast<const char *>(data + at + 2), qsizetype(length));
        at += 2 + length;
        const int index = (op >> 3) & 3;
        MemoryPeer *client = clients[std::size_t(index)].data();
        switch (op & 7) {
        case 0:
            if (client) {
                client->arrive(bytes);
                sent += bytes.size();
            }
            break;
        case 1:
            execute(input.feed(bytes));
            break;
        case 2:
            if (client)
                client->timersFire();
            break;
        case 3:
            connectClient(index);
            break;
        case 4:
            if (client)
                client->read(64 * qsizetype(length));
            break;
        case 5:
            runDue();
            break;
        case 6:
            if (client)
                client->close();
            break;
        case 7:
            for (const auto &each : clients) {
                if (each)
                    each->timersFire();
            }
            runDue();
            execute(input.finish());
            break;
        }
        checkAccounts(engine);
        require(qsizetype(server.requestCount()) * 4 <= sent);
    }
    runDue();
    qsizetype logChars = 0;
    for (const QString &line : server.log())
        logChars += line.size();
    require(logChars <= 1 << 20);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    // Timers and posted events need the application's event dispatcher on this thread.
    new QCoreApplication(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    checkHandler(data, size);
    runScript(data, size);
    return 0;
}
