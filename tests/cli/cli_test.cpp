// relvix-cli as a script uses it: exit codes, text and JSON results, what reaches the
// reader (and what never does), against the virtual reader over TCP and a pseudo-terminal.
#include "clifixture.h"
#include "simserver.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace relvix;

namespace {

class CliOnLink : public Cli, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override
    {
        sim.withReader([](sim::VirtualReader &r) {
            r.setSerialNumber(0x0012ABCD);
            r.setVersion(0x1A05);
            r.setInputs(0x00A5);
            r.presentCard(QByteArray::fromHex("12345678"));
            r.typeKeys(QByteArray::fromHex("01020A04"));
        });
        if (GetParam())
            link = {"--tcp", QStringLiteral("127.0.0.1:%1").arg(sim.listenTcp())};
        else {
            RELVIX_SKIP_WITHOUT_PTY();
            link = {"--port", sim.openPty(), "--mode", "19200,e,8,1"};
        }
    }
    Result cli(QStringList args) { return run(args << link); }

    QStringList link;
};

} // namespace

TEST_P(CliOnLink, EveryCommandDoesItsWorkAndSaysSo)
{
    Result r = cli({"identify", "--json"});
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_EQ(r.json(), (QJsonObject{{"address", 1}, {"serial", "0012ABCD"}, {"version", "1A05"}}));

    r = cli({"card", "--format", "8H", "--lsb"});
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_EQ(r.out, "uid 78563412 (H)\nkeys 1204\n");
    r = cli({"--json", "card", "--all-formats"}); // options before the command too
    const QJsonObject card = r.json()["card"].toObject();
    EXPECT_EQ(card["formats"].toObject().size(), 8);
    EXPECT_EQ(card["formats"].toObject()["5D,5D"].toString(), "30806,13330");
    EXPECT_EQ(card["bytes"].toString(), "12345678000000000000000000000000");
    EXPECT_EQ(r.json()["keypad"].toObject()["keys"].toString(), "1204");

    r = cli({"io", "--json"});
    EXPECT_EQ(r.json()["inputs"].toString(), "00A5");
    EXPECT_EQ(r.json()["inputBits"].toString(), "0000000010100101");

    r = cli({"set-do", "F00F", "--yes"});
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_TRUE(r.out.contains("DO F00F 1111000000001111")) << r;

    r = cli({"raw", "03", "01100002", "--json"});
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_EQ(r.json()["tx"].toString(), "01 03 01 10 00 02 C4 32");
    EXPECT_EQ(r.json()["rx"].toString().left(20), "01 03 04 00 A5 F0 0F");

    r = cli({"clear", "--json"});
    EXPECT_EQ(r.json(), (QJsonObject{{"cardCleared", true}, {"keypadCleared", true}}));
    r = cli({"reboot", "--yes", "--wait", "--json"});
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_TRUE(r.json()["ready"].toBool());

    const QString report = config.filePath("report.json");
    r = cli({"selftest", "--outputs", "--report", report});
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_TRUE(r.out.contains("selftest PASSED")) << r;
    QFile file(report);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QJsonObject json = QJsonDocument::fromJson(file.readAll()).object();
    EXPECT_TRUE(json["passed"].toBool());
    const QJsonArray steps = json["steps"].toArray();
    ASSERT_EQ(steps.size(), 6);
    for (const QJsonValue &step : steps) {
        EXPECT_TRUE(step["passed"].toBool()) << step["name"].toString().toStdString();
        EXPECT_GE(step["frames"].toArray().size(), 2) << step["name"].toString().toStdString();
        EXPECT_TRUE(step.toObject().contains("ms"));
    }

    r = cli({"set-address", "9", "--yes", "--json"});
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_EQ(r.json(), (QJsonObject{{"from", 1}, {"to", 9}, {"echoed", true}, {"verified", true}}));

    sim.withReader([](sim::VirtualReader &r) {
        EXPECT_EQ(r.address(), 9);
        EXPECT_EQ(r.outputs(), 0xF00F); // the self-test put back what it found
        EXPECT_EQ(r.uidBytes(), QByteArray(16, '\0'));
        EXPECT_EQ(r.rebootCount(), 1);
    });
}

TEST_P(CliOnLink, SetAddressFailsVerificationWhenTheReaderDoesNotTakeIt)
{
    sim::FaultScript refuse; // the write is answered with an exception and not carried out
    refuse.exceptionCode = 4;
    refuse.faultyRequests = 1;
    sim.setFaults(refuse);
    const Result r = cli({"set-address", "9", "--yes", "--timeout-ms", "200"});
    EXPECT_EQ(r.code, 4) << r;
    EXPECT_TRUE(r.err.contains("verification failed")) << r;
    sim.withReader([](sim::VirtualReader &r) { EXPECT_EQ(r.address(), 1); });
}

TEST_P(CliOnLink, ScanFindsTheReaderAndLogsEveryFrame)
{
    sim.withReader([](sim::VirtualReader &r) { r.setAddress(4); });
    const QString log = config.filePath("frames.log");
    const Result r = cli({"scan", "--from", "2", "--to", "6", "--modes", "19200,e,8,1", "--scan-timeout-ms", "50",
                          "--json", "--log", log});
    EXPECT_EQ(r.code, 0) << r;
    const QStringList hits = r.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(hits.size(), 1) << r;
    const QJsonObject hit = QJsonDocument::fromJson(hits[0].toUtf8()).object();
    EXPECT_EQ(hit["address"].toInt(), 4);
    EXPECT_EQ(hit["serial"].toString(), "0012ABCD");
    EXPECT_EQ(hit.contains("mode"), !GetParam());
    QFile file(log);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString frames = QString::fromUtf8(file.readAll());
    EXPECT_EQ(frames.count(" TX slave "), 6); // five addresses, and the identity at 4
    EXPECT_EQ(frames.count(" FAIL slave "), 4);
    EXPECT_TRUE(frames.contains("RX slave 4: 04 03 02 00 04")) << frames.toStdString();
}

// A line with readers at 3 and 7 at 19200 baud, and one more at 3 that listens at 9600:
// each is found in its own mode only, and nothing else is.
TEST_F(Cli, ScanFindsExactlyTheReadersOnALineAtTheirSpeeds)
{
    RELVIX_SKIP_WITHOUT_PTY();
    sim.withReader([](sim::VirtualReader &r) {
        r.setAddress(3);
        r.setSerialNumber(0x03);
        r.setLineSpeed(19200);
    });
    sim.addReader([](sim::VirtualReader &r) {
        r.setAddress(7);
        r.setSerialNumber(0x07);
        r.setLineSpeed(19200);
    });
    sim.addReader([](sim::VirtualReader &r) {
        r.setAddress(3);
        r.setSerialNumber(0x0903);
        r.setLineSpeed(9600);
    });
    const Result r = run({"scan", "--port", sim.openPty(), "--modes", "9600,e,8,1;19200,e,8,1", "--modes",
                          "38400,e,8,1", "--from", "1", "--to", "9", "--scan-timeout-ms", "40", "--json"});
    EXPECT_EQ(r.code, 0) << r;
    QStringList hits;
    for (const QString &line : r.out.split('\n', Qt::SkipEmptyParts)) {
        const QJsonObject hit = QJsonDocument::fromJson(line.toUtf8()).object();
        hits << QStringLiteral("%1 %2 %3")
                    .arg(hit["mode"].toString(), QString::number(hit["address"].toInt()), hit["serial"].toString());
    }
    EXPECT_EQ(hits, (QStringList{"9600,e,8,1 3 00000903", "19200,e,8,1 3 00000003", "19200,e,8,1 7 00000007"}));
    EXPECT_TRUE(r.err.contains("scanned 27 of 27 addresses")) << r;
}

INSTANTIATE_TEST_SUITE_P(Link, CliOnLink, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool> &info) { return info.param ? "Tcp" : "Pty"; });

// Bad input: exit 2, one line naming the bad value, and nothing reaches the reader.
TEST_F(Cli, BadInputIsRefusedBeforeAnythingIsSent)
{
    const QString tcp = QStringLiteral("127.0.0.1:%1").arg(sim.listenTcp());
    const struct {
        QStringList args;
        const char *named;
    } cases[] = {
        {{"identify", "--port", relvix::testing::kNullDevice, "--mode", "19200,x,8,1"}, "19200,x,8,1"},
        {{"identify", "--port", relvix::testing::kNullDevice, "--mode", "fast"}, "fast"},
        {{"identify", "--tcp", tcp, "--address", "0"}, "'0'"},
        {{"identify", "--tcp", tcp, "--address", "255"}, "'255'"},
        {{"identify", "--tcp", "127.0.0.1"}, "127.0.0.1"},
        {{"identify", "--tcp", "127.0.0.1:0"}, "127.0.0.1:0"},
        {{"identify", "--tcp", "127.0.0.1:65536"}, "127.0.0.1:65536"},
        {{"identify", "--tcp", "reader local:4001"}, "reader local"},
        {{"identify", "--tcp", "::1:4001"}, "brackets"},
        {{"card", "--tcp", tcp, "--format", "9H"}, "9H"},
        {{"raw", "03", "0100001", "--tcp", tcp}, "0100001"},
        {{"raw", "03", "01 00", "--tcp", tcp}, "01 00"},
        {{"raw", "03", "0x0100", "--tcp", tcp}, "0x0100"},
        {{"raw", "03", "01G0", "--tcp", tcp}, "01G0"},
        {{"raw", "0x03", "0100", "--tcp", tcp}, "0x03"},
        {{"set-do", "12345", "--yes", "--tcp", tcp}, "12345"},
        {{"set-address", "300", "--yes", "--tcp", tcp}, "300"},
        {{"identify", "--tcp", tcp, "--from", "3"}, "--from"},
        {{"frobnicate", "--tcp", tcp}, "frobnicate"},
        {{"identify", "--tcp", tcp, "--timeout-ms", "-5"}, "-5"},
        {{"set-do", "FFFF", "--tcp", tcp}, "--yes"}, // not on a terminal
    };
    for (const auto &c : cases) {
        const Result r = run(c.args);
        EXPECT_EQ(r.code, 2) << c.args.join(' ').toStdString() << "\n" << r;
        EXPECT_EQ(r.err.count('\n'), 1) << r;
        EXPECT_TRUE(r.err.contains(QString::fromUtf8(c.named))) << r;
        EXPECT_TRUE(r.out.isEmpty()) << r;
    }
    EXPECT_EQ(sim.tcpConnectionCount(), 0);
    EXPECT_EQ(sim.requestCount(), 0);
}

TEST_F(Cli, UsesTheWindowsSavedLinkReadOnlyAndReportsWhatFailed)
{
    // Nothing saved and no link given: a usage error, not a guess.
    Result r = run({"identify"});
    EXPECT_EQ(r.code, 2) << r;

    const quint16 port = sim.listenTcp();
#ifdef _WIN32
    // The window's key in the registry, as the window writes it.
    const QString key = QStringLiteral("HKEY_LOCAL_MACHINE\\Software\\Kavrel\\Relvix");
    {
        QSettings saved(key, QSettings::NativeFormat);
        saved.setValue("TYPE", 1);
        saved.setValue("NetIP", "127.0.0.1");
        saved.setValue("NetPort", QString::number(port));
        saved.setValue("ComPortName", "COMNONE");
        saved.setValue("LanguageFlag", "English");
    }
    r = run({"identify"});
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_TRUE(r.err.contains(QStringLiteral("tcp 127.0.0.1:%1").arg(port))) << r;
    const QSettings after(key, QSettings::NativeFormat);
    EXPECT_EQ(after.childKeys().size(), 5);
    EXPECT_EQ(after.value("NetPort").toString(), QString::number(port));
#else
    QDir(config.path()).mkpath("Kavrel");
    const QString file = config.filePath("Kavrel/Relvix.conf");
    const QByteArray saved = QStringLiteral("[General]\nTYPE=1\nNetIP=127.0.0.1\nNetPort=%1\nComPortName=ttyNONE\n"
                                            "LanguageFlag=English\n")
                                 .arg(port)
                                 .toUtf8();
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(saved);
    f.close();
    r = run({"identify"});
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_TRUE(r.err.contains(QStringLiteral("tcp 127.0.0.1:%1").arg(port))) << r;
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), saved);
#endif

    // No reader at that address: 1. A port nobody listens on, or no such device: 3.
    r = run({"identify", "--address", "7", "--timeout-ms", "100"});
    EXPECT_EQ(r.code, 1) << r;
    quint16 closed = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
        closed = probe.serverPort();
    }
    r = run({"io", "--tcp", QStringLiteral("127.0.0.1:%1").arg(closed)});
    EXPECT_EQ(r.code, 3) << r;
    r = run({"io", "--port", config.filePath("no-such-port")});
    EXPECT_EQ(r.code, 3) << r;
}

// Two cards presented on the virtual reader's standard input give two event lines.
TEST_F(Cli, WatchPrintsOneEventPerNewCard)
{
#ifdef _WIN32
    GTEST_SKIP() << "relvix-sim on Windows takes its commands from --script, not from standard input";
#endif
    QProcess simProgram;
    simProgram.start(QStringLiteral(RELVIX_SIM_PROGRAM), {"--tcp", "0", "--log"});
    ASSERT_TRUE(simProgram.waitForReadyRead(10000));
    const QString where = QString::fromUtf8(simProgram.readLine()).trimmed(); // "tcp 127.0.0.1 PORT"
    const QString tcp = QStringLiteral("127.0.0.1:%1").arg(where.section(' ', 2));
    simProgram.setReadChannel(QProcess::StandardError);

    QProcess watch;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", config.path());
    watch.setProcessEnvironment(env);
    watch.start(QStringLiteral(RELVIX_CLI_PROGRAM),
                {"card", "--watch", "--count", "2", "--json", "--format", "8H", "--interval-ms", "20", "--tcp", tcp});
    // The first poll (two requests) sets where the watch starts from; wait for it in the
    // reader's frame log.
    QByteArray simLog;
    while (simLog.count(" RX ") < 2 && simProgram.waitForReadyRead(10000))
        simLog += simProgram.readAllStandardError();
    ASSERT_GE(simLog.count(" RX "), 2) << simLog.toStdString();
    simProgram.write("uid A1B2C3D4\n");
    simProgram.waitForBytesWritten(5000);
    ASSERT_TRUE(watch.waitForReadyRead(10000));
    simProgram.write("keys 5678\n");
    simProgram.waitForBytesWritten(5000);
    ASSERT_TRUE(watch.waitForFinished(10000));
    EXPECT_EQ(watch.exitCode(), 0) << watch.readAllStandardError().toStdString();
    const QList<QByteArray> lines = watch.readAllStandardOutput().split('\n');
    ASSERT_GE(lines.size(), 2);
    const QJsonObject first = QJsonDocument::fromJson(lines[0]).object();
    const QJsonObject second = QJsonDocument::fromJson(lines[1]).object();
    EXPECT_EQ(first["event"].toString(), "card");
    EXPECT_EQ(first["card"].toObject()["uid"].toString(), "A1B2C3D4 (H)"); // nested as in one-shot card
    EXPECT_EQ(second["event"].toString(), "keys");
    EXPECT_EQ(second["keypad"].toObject()["keys"].toString(), "5678");
    EXPECT_FALSE(first["time"].toString().isEmpty());
    simProgram.write("quit\n");
    simProgram.waitForBytesWritten(5000);
    EXPECT_TRUE(simProgram.waitForFinished(5000));
}

// The help of the whole and of each command, and the exit codes in it.
TEST_F(Cli, HelpAtEveryLevel)
{
    const Result all = run({"--help"});
    EXPECT_EQ(all.code, 0);
    EXPECT_TRUE(all.out.contains("130  interrupted")) << all;
    for (const char *command : {"ports", "identify", "scan", "card", "clear", "io", "set-do", "set-address", "reboot",
                                "factory-reset", "raw", "selftest"}) {
        EXPECT_TRUE(all.out.contains(QStringLiteral("\n  %1 ").arg(command))) << command;
        const Result one = run({command, "--help"});
        EXPECT_EQ(one.code, 0) << command;
        EXPECT_TRUE(one.out.startsWith(QStringLiteral("Usage: relvix-cli [options] %1").arg(command))) << one;
    }
    const Result ports = run({"ports", "--json"});
    EXPECT_EQ(ports.code, 0) << ports;
    EXPECT_TRUE(ports.json()["ports"].isArray()) << ports;
}
