// The line as a real RS-485 bus can be: local echo, half-duplex collisions at wire times,
// stray bytes, readers that share an address, turnarounds and a gateway, each condition
// through the real engine over TCP and over its pseudo-terminal.
#include "simcommands.h"
#include "simline.h"
#include "simserver.h"
#include "support/simtestutil.h"

#include <QElapsedTimer>
#include <QSerialPort>
#include <QThread>
#include <gtest/gtest.h>

#include <memory>

using namespace relvix::sim;
using simtest::frame;
using simtest::request;
using simtest::spaced;

namespace {

QByteArray complement(QByteArray bytes)
{
    for (char &c : bytes)
        c = static_cast<char>(~c);
    return bytes;
}

// The tool's end of the line: a TCP client, or QSerialPort on the pseudo-terminal at a speed.
class ToolEnd {
public:
    virtual ~ToolEnd() = default;
    virtual void send(const QByteArray &bytes) = 0;
    // Everything that arrives within ms.
    virtual QByteArray readFor(int ms) = 0;
};

class TcpEnd final : public ToolEnd {
public:
    explicit TcpEnd(quint16 port) { ok = client.connectTo(port); }
    void send(const QByteArray &bytes) override { client.send(bytes); }
    QByteArray readFor(int ms) override { return client.readFor(ms); }
    simtest::TcpClient client;
    bool ok = false;
};

class PtyEnd final : public ToolEnd {
public:
    PtyEnd(const QString &path, int baud) : port(path)
    {
        port.setBaudRate(baud);
        port.setParity(QSerialPort::EvenParity);
        ok = port.open(QIODevice::ReadWrite);
    }
    void send(const QByteArray &bytes) override
    {
        port.write(bytes);
        port.waitForBytesWritten(5000);
    }
    QByteArray readFor(int ms) override
    {
        QByteArray got;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < ms) {
            port.waitForReadyRead(static_cast<int>(qMax<qint64>(1, ms - clock.elapsed())));
            got += port.readAll();
        }
        return got + port.readAll();
    }
    QSerialPort port;
    bool ok = false;
};

void run(SimServer &server, const char *line)
{
    QString out;
    ASSERT_NE(runCommand(server, QString::fromLatin1(line), &out), CommandResult::Error)
        << line << ": " << out.toStdString();
}

const QByteArray kUidRead = request(1, 3, 0x0112, 8); // 21 bytes of answer

} // namespace

TEST(SimLine, EachConditionOverTcpAndThePty)
{
    const QByteArray addressAnswer = frame("01 03 02 00 01");
    const QByteArray uidAnswer = frame("01 03 10 12 34 56 78 00 00 00 00 00 00 00 00 00 00 00 00");
    const QByteArray writeFive = request(5, 6, 0x0111, 0xF00F);
    struct Row {
        const char *name;
        QStringList setup;            // commands before the exchange
        bool overTcp, overPty;        // where the row holds
        QByteArray sent;              // the request
        QByteArray expected;          // the bytes that come back within the wait
        int waitMs;                   // how long to gather them
        const char *logged = nullptr; // a log line that must be there
    };
    const Row rows[] = {
        {"echo, nobody at 5: only the request's own bytes",
         {"line echo"},
         true,
         true,
         writeFive,
         writeFive,
         400,
         "ECHO 05 06 01 11 F0 0F"},
        {"echo, a reader at 1: the echo, then the answer",
         {"line echo"},
         true,
         true,
         simtest::kReadAddress,
         simtest::kReadAddress + addressAnswer,
         400},
        {"half-duplex, no overlap: the answer intact", {"line half-duplex"}, true, true, kUidRead, uidAnswer, 500},
        {"two readers at 1 at once, half-duplex: both garbled byte for byte",
         {"line half-duplex", "reader add 1:00000002:0200"},
         true,
         true,
         simtest::kReadAddress,
         [&] {
             QByteArray both;
             for (char c : complement(addressAnswer))
                 both.append(c).append(c);
             return both;
         }(),
         500,
         "COLLISION two answers overlap"},
        {"two readers at 1, a normal line: two answers, the slower 40 ms later",
         {"reader add 1:00000002:0200::40"},
         true,
         true,
         simtest::kReadAddress,
         addressAnswer + addressAnswer,
         500},
        {"gateway: an absent address answers 0B over TCP",
         {"gateway 20"},
         true,
         false,
         writeFive,
         frame("05 86 0B"),
         400,
         "GATEWAY no reader at address 5"},
        {"gateway: nothing on the pty, which has none", {"gateway 20"}, false, true, writeFive, {}, 400},
    };
    for (const bool tcp : {true, false}) {
        for (const Row &row : rows) {
            if (!(tcp ? row.overTcp : row.overPty))
                continue;
            SCOPED_TRACE(std::string(row.name) + (tcp ? " over TCP" : " on the pty"));
            SimServer server;
            server.withReader([](VirtualReader &r) { r.presentCard(QByteArray::fromHex("12345678")); });
            for (const QString &line : row.setup)
                run(server, line.toLatin1().constData());
            std::unique_ptr<ToolEnd> end;
            if (tcp) {
                ASSERT_NE(server.listenTcp(), 0);
                auto t = std::make_unique<TcpEnd>(server.tcpPort());
                ASSERT_TRUE(t->ok);
                end = std::move(t);
            } else {
                const QString path = server.openPty();
                ASSERT_FALSE(path.isEmpty());
                auto p = std::make_unique<PtyEnd>(path, 19200);
                ASSERT_TRUE(p->ok);
                end = std::move(p);
            }
            end->send(row.sent);
            EXPECT_EQ(spaced(end->readFor(row.waitMs)), spaced(row.expected));
            if (row.logged) {
                EXPECT_EQ(server.log().filter(QString::fromLatin1(row.logged)).size(), 1)
                    << server.log().join(QLatin1Char('\n')).toStdString();
            }
        }
    }
}

// A request sent while a slow reader's answer is still arriving garbles the rest of that
// answer, and no reader takes the request; at 1200 baud the 21-byte answer is on the wire
// for 192 ms, 300 ms after the 73 ms request, so a request 130 ms into it leaves 60 ms of
// margin on either side.
TEST(SimLine, ARequestOverALateAnswerGarblesBoth)
{
    for (const bool tcp : {true, false}) {
        SCOPED_TRACE(tcp ? "over TCP" : "on the pty");
        SimServer server;
        server.withReader([](VirtualReader &r) { r.presentCard(QByteArray::fromHex("12345678")); });
        run(server, "line half-duplex");
        run(server, "line-baud 1200");
        run(server, "turnaround 300");
        std::unique_ptr<ToolEnd> end;
        if (tcp) {
            ASSERT_NE(server.listenTcp(), 0);
            end = std::make_unique<TcpEnd>(server.tcpPort());
        } else {
            end = std::make_unique<PtyEnd>(server.openPty(), 1200);
        }
        QElapsedTimer clock;
        clock.start();
        end->send(kUidRead);
        QByteArray got = end->readFor(500);
        const qint64 firstAt = clock.elapsed();
        end->send(simtest::kReadAddress);
        got += end->readFor(1200);
        const QByteArray clean = frame("01 03 10 12 34 56 78 00 00 00 00 00 00 00 00 00 00 00 00");
        // The answer's first bytes came intact, the rest complemented; nothing answered the
        // second request.
        ASSERT_EQ(got.size(), clean.size()) << spaced(got).toStdString() << " after " << firstAt << " ms";
        qsizetype intact = 0;
        while (intact < got.size() && got[intact] == clean[intact])
            ++intact;
        EXPECT_GT(intact, 0);
        EXPECT_LT(intact, clean.size());
        EXPECT_EQ(spaced(got.mid(intact)), spaced(complement(clean.mid(intact))));
        EXPECT_FALSE(hasValidCrc(got));
        EXPECT_EQ(server.log().filter(QStringLiteral("COLLISION the tool sent while an answer")).size(), 1);
        EXPECT_EQ(server.log().filter(QStringLiteral("RX ")).size(), 1); // the second never framed
    }
}

TEST(SimLine, TurnaroundAndNoiseTakeTheirTime)
{
    SimServer server;
    ASSERT_NE(server.listenTcp(), 0);
    TcpEnd end(server.tcpPort());
    ASSERT_TRUE(end.ok);
    run(server, "turnaround 250");
    QElapsedTimer clock;
    clock.start();
    end.send(simtest::kReadAddress);
    EXPECT_EQ(spaced(end.client.read(7)), spaced(simtest::kAddressAnswer));
    EXPECT_GE(clock.elapsed(), 230);
    run(server, "turnaround 0");
    run(server, "noise 50");
    const QByteArray stray = end.readFor(1000);
    EXPECT_GE(stray.size(), 15); // about 50, on a noisy machine fewer
    EXPECT_LE(stray.size(), 80);
    run(server, "noise 0");
    end.readFor(100);
    EXPECT_TRUE(end.readFor(300).isEmpty());
    QString out;
    runCommand(server, QStringLiteral("line"), &out);
    EXPECT_EQ(out, QStringLiteral("line normal line-baud 19200 noise 0 gateway off"));
}

// The schedule itself on a clock of its own: wire times, the order of overlapping bytes and
// the complemented tails that no CRC passes.
TEST(SimLine, WireScheduleOnAFakeClock)
{
    EXPECT_EQ(characterNs(19200), 572916);
    EXPECT_EQ(parseLineMode(QStringLiteral("half-duplex,echo")), (LineMode{true, true}));
    EXPECT_FALSE(parseLineMode(QStringLiteral("echo,echo")));
    EXPECT_EQ(lineModeName(LineMode{true, false}), QStringLiteral("echo"));

    const qint64 c = 1000;
    WireSchedule wire;
    QStringList log;
    EXPECT_EQ(wire.toolSends(0, c, 8, &log), -1);
    EXPECT_EQ(wire.toolByteEnd(7), 8 * c);
    const QByteArray answer = frame("01 03 02 00 01");
    EXPECT_FALSE(wire.transmit(answer, 8 * c, c, QStringLiteral("TX"), &log));
    EXPECT_EQ(wire.nextDue(), 9 * c);
    EXPECT_EQ(spaced(wire.takeDue(10 * c + 10, &log)), spaced(answer.left(2)));
    // The tool sends again at 11c: the answer is garbled from byte 4 (ending 12c) on, and the
    // tool's bytes from the first.
    EXPECT_EQ(wire.toolSends(11 * c, c, 8, &log), 0);
    EXPECT_EQ(spaced(wire.takeDue(100 * c, &log)), spaced(answer.mid(2, 1) + complement(answer.mid(3))));
    EXPECT_EQ(wire.nextDue(), -1);
    // Any complemented tail of a frame fails its CRC.
    for (qsizetype from = 0; from < answer.size(); ++from)
        EXPECT_FALSE(hasValidCrc(answer.left(from) + complement(answer.mid(from)))) << from;
}
