// The relvix-sim program as people and the demo run it.
#include "support/simtestutil.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <sys/resource.h>
#include <vector>

using simtest::frame;
using simtest::hex;
using simtest::kAddressAnswer;
using simtest::kReadAddress;
using simtest::spaced;
using simtest::TcpClient;

namespace {

class SimProgram {
public:
    ~SimProgram()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    // Starts the program and reads its "tcp"/"pty" lines (as many as wanted).
    bool start(const QStringList &args, int tcpLines = 1, int ptyLines = 0)
    {
        process.setProgram(QStringLiteral(RELVIX_SIM_PROGRAM));
        process.setArguments(args);
        process.start();
        if (!process.waitForStarted(10000))
            return false;
        for (int i = 0; i < tcpLines + ptyLines; ++i) {
            const QString line = readLine();
            const QStringList words = line.split(QLatin1Char(' '));
            if (words.size() == 3 && words[0] == u"tcp") {
                host = words[1];
                port = words[2].toUShort();
            } else if (words.size() == 2 && words[0] == u"pty") {
                pty = words[1];
            } else {
                ADD_FAILURE() << "unexpected line: " << line.toStdString();
                return false;
            }
        }
        return (tcpLines == 0 || port != 0) && (ptyLines == 0 || !pty.isEmpty());
    }
    QString readLine(int ms = 10000)
    {
        QElapsedTimer clock;
        clock.start();
        while (!process.canReadLine() && clock.elapsed() < ms) {
            if (!process.waitForReadyRead(100) && process.state() == QProcess::NotRunning)
                break;
        }
        return QString::fromLocal8Bit(process.readLine()).trimmed();
    }
    void command(const char *line)
    {
        process.write(QByteArray(line) + '\n');
        process.waitForBytesWritten(5000);
    }
    // "show" answers on standard output once every earlier command has run.
    QString show()
    {
        command("show");
        return readLine();
    }
    bool finishes(int ms = 10000) { return process.waitForFinished(ms); }

    QProcess process;
    QString host;
    quint16 port = 0;
    QString pty;
};

} // namespace

TEST(SimProgram, PrintsWhereItListensAnswersAndQuits)
{
    SimProgram sim;
    ASSERT_TRUE(sim.start({QStringLiteral("--tcp"), QStringLiteral("0"), QStringLiteral("--pty")}, 1, 1));
    EXPECT_EQ(sim.host, QStringLiteral("127.0.0.1"));
    EXPECT_TRUE(sim.pty.startsWith(QStringLiteral("/dev/pts/"))) << sim.pty.toStdString();

    TcpClient client;
    ASSERT_TRUE(client.connectTo(sim.port));
    EXPECT_EQ(spaced(client.exchange(kReadAddress, 7)), spaced(kAddressAnswer));

    sim.command("uid 0102030405060708");
    sim.command("keys 1204");
    sim.command("inputs 00A5");
    EXPECT_TRUE(sim.show().contains(QStringLiteral("uid 01020304050607080000000000000000 keys 1204")));
    EXPECT_EQ(spaced(client.exchange(hex("01 03 01 12 00 08 E5 F5"), 21)),
              spaced(frame("01 03 10 01 02 03 04 05 06 07 08 00 00 00 00 00 00 00 00")));
    EXPECT_EQ(spaced(client.exchange(hex("01 03 01 10 00 02 C4 32"), 9)), spaced(frame("01 03 04 00 A5 00 00")));

    sim.command("fault delay 200 noise-before FF");
    sim.show();
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(spaced(client.exchange(kReadAddress, 8)), spaced(hex("FF") + kAddressAnswer));
    EXPECT_GE(clock.elapsed(), 180);
    sim.command("fault none");
    sim.command("address 9");
    sim.show();
    EXPECT_EQ(spaced(client.exchange(simtest::request(9, 3, 0x0100, 1), 7)), spaced(frame("09 03 02 00 09")));

    sim.command("quit");
    ASSERT_TRUE(sim.finishes());
    EXPECT_EQ(sim.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(sim.process.exitCode(), 0);
}

TEST(SimProgram, OptionsSetTheReader)
{
    SimProgram sim;
    ASSERT_TRUE(
        sim.start({QStringLiteral("--tcp"), QStringLiteral("--address"), QStringLiteral("5"),
                   QStringLiteral("--serial"), QStringLiteral("DEADBEEF"), QStringLiteral("--version"),
                   QStringLiteral("0A05"), QStringLiteral("--inputs"), QStringLiteral("00A5"), QStringLiteral("--uid"),
                   QStringLiteral("11223344"), QStringLiteral("--keys"), QStringLiteral("90")}));
    TcpClient client;
    ASSERT_TRUE(client.connectTo(sim.port));
    EXPECT_EQ(spaced(client.exchange(simtest::request(5, 3, 0x0107, 3), 11)),
              spaced(frame("05 03 06 DE AD BE EF 0A 05")));
    EXPECT_EQ(spaced(client.exchange(simtest::request(5, 3, 0x0110, 1), 7)), spaced(frame("05 03 02 00 A5")));
    EXPECT_EQ(spaced(client.exchange(simtest::request(5, 3, 0x0112, 2), 9)), spaced(frame("05 03 04 11 22 33 44")));
    // '0' is sent as key code 10
    EXPECT_EQ(spaced(client.exchange(simtest::request(5, 3, 0x011B, 1), 7)), spaced(frame("05 03 02 09 0A")));
}

TEST(SimProgram, FaultOptions)
{
    SimProgram sim;
    ASSERT_TRUE(sim.start({QStringLiteral("--tcp=0"), QStringLiteral("--wrong-crc"), QStringLiteral("--answer-as"),
                           QStringLiteral("3"), QStringLiteral("--noise-after"), QStringLiteral("EE")}));
    TcpClient client;
    ASSERT_TRUE(client.connectTo(sim.port));
    QByteArray expected = frame("03 03 02 00 01");
    expected[5] = static_cast<char>(expected[5] ^ 0xFF);
    expected[6] = static_cast<char>(expected[6] ^ 0xFF);
    EXPECT_EQ(spaced(client.exchange(kReadAddress, 8)), spaced(expected + hex("EE")));
}

TEST(SimProgram, CloseAfterOption)
{
    SimProgram sim;
    ASSERT_TRUE(
        sim.start({QStringLiteral("--close-after"), QStringLiteral("2")})); // TCP when nothing else is asked for
    TcpClient client;
    ASSERT_TRUE(client.connectTo(sim.port));
    client.send(kReadAddress);
    EXPECT_EQ(spaced(client.readFor(3000)), spaced(kAddressAnswer.left(2)));
}

TEST(SimProgram, EndOfInputDoesNotQuitByDefault)
{
    SimProgram sim;
    ASSERT_TRUE(sim.start({QStringLiteral("--tcp")}));
    sim.process.closeWriteChannel();
    EXPECT_FALSE(sim.finishes(500));
    TcpClient client;
    ASSERT_TRUE(client.connectTo(sim.port));
    EXPECT_EQ(spaced(client.exchange(kReadAddress, 7)), spaced(kAddressAnswer));
    sim.process.terminate(); // SIGTERM
    ASSERT_TRUE(sim.finishes());
    EXPECT_EQ(sim.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(sim.process.exitCode(), 0);
}

TEST(SimProgram, QuitOnEof)
{
    SimProgram sim;
    ASSERT_TRUE(sim.start({QStringLiteral("--tcp"), QStringLiteral("--quit-on-eof")}));
    sim.process.closeWriteChannel();
    ASSERT_TRUE(sim.finishes());
    EXPECT_EQ(sim.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(sim.process.exitCode(), 0);
}

TEST(SimProgram, SigintEndsIt)
{
    SimProgram sim;
    ASSERT_TRUE(sim.start({QStringLiteral("--pty")}, 0, 1));
    ::kill(static_cast<pid_t>(sim.process.processId()), SIGINT);
    ASSERT_TRUE(sim.finishes());
    EXPECT_EQ(sim.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(sim.process.exitCode(), 0);
}

TEST(SimProgram, Script)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("faults.txt"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("# inputs at once, silence a little later\n"
               "0 inputs 1234\n"
               "\n"
               "400 fault silent\n");
    file.close();

    SimProgram sim;
    ASSERT_TRUE(sim.start({QStringLiteral("--tcp"), QStringLiteral("--script"), path}));
    TcpClient client;
    ASSERT_TRUE(client.connectTo(sim.port));
    EXPECT_TRUE(simtest::waitUntil(
        [&] { return client.exchange(frame("01 03 01 10 00 01"), 7, 1000) == frame("01 03 02 12 34"); }));
    EXPECT_TRUE(simtest::waitUntil([&] { return client.exchange(kReadAddress, 7, 300).isEmpty(); }));
}

TEST(SimProgram, VerboseLogsFramesOnStandardError)
{
    SimProgram sim;
    sim.process.setProcessChannelMode(QProcess::SeparateChannels);
    ASSERT_TRUE(sim.start({QStringLiteral("--tcp"), QStringLiteral("--verbose")}));
    TcpClient client;
    ASSERT_TRUE(client.connectTo(sim.port));
    client.exchange(kReadAddress, 7);
    sim.command("quit");
    ASSERT_TRUE(sim.finishes());
    const QString err = QString::fromLocal8Bit(sim.process.readAllStandardError());
    EXPECT_TRUE(
        err.contains(QRegularExpression(QStringLiteral("\\d\\d:\\d\\d:\\d\\d\\.\\d{3} RX 01 03 01 00 00 01 85 F6"))))
        << err.toStdString();
    EXPECT_TRUE(err.contains(QStringLiteral(" TX 01 03 02 00 01 79 84"))) << err.toStdString();
}

TEST(SimProgram, ClientsBeyondTheOpenFileLimitAreRefusedAtOnce)
{
    // At an open-file limit of 64 it serves 32 clients and closes the next ones at once
    // (left waiting they made it spin, or stop accepting for good); one that leaves makes
    // room for another.
    SimProgram sim;
    sim.process.setProcessChannelMode(QProcess::SeparateChannels);
    sim.process.setChildProcessModifier([] {
        rlimit limit{};
        ::getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = 64;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    });
    ASSERT_TRUE(sim.start({QStringLiteral("--tcp"), QStringLiteral("--log")}));
    std::vector<std::unique_ptr<TcpClient>> clients;
    int answered = 0;
    int refused = 0;
    for (int i = 0; i < 36; ++i) {
        clients.push_back(std::make_unique<TcpClient>());
        ASSERT_TRUE(clients.back()->connectTo(sim.port));
        const QByteArray got = clients.back()->exchange(kReadAddress, 7);
        answered += got == kAddressAnswer ? 1 : 0;
        refused += got.isEmpty() && clients.back()->socket.state() == QAbstractSocket::UnconnectedState ? 1 : 0;
    }
    EXPECT_EQ(answered, 32);
    EXPECT_EQ(refused, 4);
    clients.erase(clients.begin());
    EXPECT_TRUE(simtest::waitUntil([&] {
        TcpClient next;
        return next.connectTo(sim.port) && next.exchange(kReadAddress, 7, 1000) == kAddressAnswer;
    }));
    sim.command("quit");
    ASSERT_TRUE(sim.finishes());
    const QString err = QString::fromLocal8Bit(sim.process.readAllStandardError());
    // The four, and any try of the last client before the program saw the other one go.
    EXPECT_GE(err.count(QStringLiteral(" clients already, the most at once")), 4) << err.left(2000).toStdString();
}

TEST(SimProgram, BadCommandsAreReportedAndIgnored)
{
    SimProgram sim;
    sim.process.setProcessChannelMode(QProcess::SeparateChannels);
    ASSERT_TRUE(sim.start({QStringLiteral("--tcp")}));
    sim.command("frobnicate");
    sim.command("uid 123");
    EXPECT_TRUE(sim.show().startsWith(QStringLiteral("address 1 ")));
    sim.command("quit");
    ASSERT_TRUE(sim.finishes());
    const QString err = QString::fromLocal8Bit(sim.process.readAllStandardError());
    EXPECT_TRUE(err.contains(QStringLiteral("unknown command: frobnicate"))) << err.toStdString();
    EXPECT_TRUE(err.contains(QStringLiteral("uid needs"))) << err.toStdString();
}

TEST(SimProgram, BadOptionsEndWithAnError)
{
    for (const QStringList &args : {QStringList{QStringLiteral("--uid"), QStringLiteral("XYZ")},
                                    QStringList{QStringLiteral("--address"), QStringLiteral("300")},
                                    QStringList{QStringLiteral("--serial"), QStringLiteral("123456789")},
                                    QStringList{QStringLiteral("--script"), QStringLiteral("/nonexistent/script")},
                                    QStringList{QStringLiteral("--reader"), QStringLiteral("5:XYZ:1A05")},
                                    QStringList{QStringLiteral("--reader"), QStringLiteral("3:1:1::x")},
                                    QStringList{QStringLiteral("--line"), QStringLiteral("full-duplex")},
                                    QStringList{QStringLiteral("--noise"), QStringLiteral("-3")},
                                    QStringList{QStringLiteral("--no-such-option")}}) {
        QProcess p;
        p.start(QStringLiteral(RELVIX_SIM_PROGRAM), args);
        ASSERT_TRUE(p.waitForFinished(10000)) << args.join(QLatin1Char(' ')).toStdString();
        EXPECT_NE(p.exitCode(), 0) << args.join(QLatin1Char(' ')).toStdString();
        EXPECT_TRUE(p.readAllStandardOutput().isEmpty()) << args.join(QLatin1Char(' ')).toStdString();
    }
}

TEST(SimProgram, AnOverlongInputLineIsRefusedAndTheNextOneRuns)
{
    SimProgram sim;
    sim.process.setProcessChannelMode(QProcess::SeparateChannels);
    ASSERT_TRUE(sim.start({QStringLiteral("--tcp")}));
    sim.process.write(QByteArray(1024 * 1024, 'x') + '\n');
    EXPECT_TRUE(sim.show().startsWith(QStringLiteral("address 1 ")));
    sim.command("quit");
    ASSERT_TRUE(sim.finishes());
    const QString err = QString::fromLocal8Bit(sim.process.readAllStandardError());
    EXPECT_TRUE(err.contains(QStringLiteral("line too long"))) << err.left(200).toStdString();
    EXPECT_LT(err.size(), 200); // the line is not echoed
}

TEST(SimProgram, MessagesShowUserTextAsTyped)
{
    // Text such as %1 in a user's value must come out as typed, not be filled in.
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString script = dir.filePath(QStringLiteral("%1%2.txt"));
    QFile file(script);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("soon inputs 1234\n");
    file.close();
    const struct {
        QStringList args;
        QString message;
    } cases[] = {
        {{QStringLiteral("--bind"), QStringLiteral("%2%1")}, QStringLiteral("cannot listen on %2%1 port 0")},
        {{QStringLiteral("--script"), script}, script + QStringLiteral(":1: expected")},
    };
    for (const auto &c : cases) {
        QProcess p;
        p.start(QStringLiteral(RELVIX_SIM_PROGRAM), c.args);
        ASSERT_TRUE(p.waitForFinished(10000));
        const QString err = QString::fromLocal8Bit(p.readAllStandardError());
        EXPECT_TRUE(err.contains(c.message)) << err.toStdString();
    }
}

TEST(SimProgram, ReadersOnOneLine)
{
    // --reader puts readers on the line (the first in place of the default one); the
    // single-reader options set the first, and "reader N" selects the one commands act on.
    SimProgram sim;
    sim.process.setProcessChannelMode(QProcess::SeparateChannels);
    ASSERT_TRUE(sim.start({QStringLiteral("--tcp"), QStringLiteral("--reader"), QStringLiteral("3:00000003:0300"),
                           QStringLiteral("--reader"), QStringLiteral("5:00000005:0500:9600"), QStringLiteral("--uid"),
                           QStringLiteral("AABB")}));
    sim.command("reader 5");
    sim.command("uid 1122");
    sim.command("speed 19200");
    sim.command("reader 9");
    sim.command("readers");
    EXPECT_EQ(sim.readLine(),
              QStringLiteral("address 3 serial 00000003 version 0300 inputs 0000 outputs 0000 uid "
                             "AABB0000000000000000000000000000 keys  reboots 0 factory-resets 0 speed any"));
    const QString second = sim.readLine();
    EXPECT_TRUE(second.startsWith(QStringLiteral("* address 5 serial 00000005 version 0500 "))) << second.toStdString();
    EXPECT_TRUE(second.endsWith(QStringLiteral(" speed 19200"))) << second.toStdString();
    TcpClient client;
    ASSERT_TRUE(client.connectTo(sim.port));
    EXPECT_EQ(spaced(client.exchange(simtest::request(3, 3, 0x0112, 1), 7)), spaced(frame("03 03 02 AA BB")));
    EXPECT_EQ(spaced(client.exchange(simtest::request(5, 3, 0x0112, 1), 7)), spaced(frame("05 03 02 11 22")));
    client.send(simtest::request(1, 3, 0x0100, 1));
    EXPECT_TRUE(client.readFor(300).isEmpty()); // the default reader at 1 gave way to the one at 3
    sim.command("quit");
    ASSERT_TRUE(sim.finishes());
    const QString err = QString::fromLocal8Bit(sim.process.readAllStandardError());
    EXPECT_TRUE(err.contains(QStringLiteral("no reader at address 9"))) << err.toStdString();
}
