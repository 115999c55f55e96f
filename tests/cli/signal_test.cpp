// relvix-cli stopped by a signal in the middle of its work, and its frame log kept within a
// bound: the real program against the virtual reader on loopback TCP.
#include "clifixture.h"
#include "support/simtestutil.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <gtest/gtest.h>

#ifndef _WIN32
#include <csignal>
#endif

using namespace relvix;

namespace {

class CliStopped : public Cli {
protected:
    // Starts the program, waits until the reader has received a frame with `needle` in the
    // reader's log (the request the signal is to come after), sends the signal and waits
    // for the end.
    Result runAndSignal(const QStringList &args, const QString &needle, int signal)
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", config.path());
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(RELVIX_CLI_PROGRAM), args);
        p.closeWriteChannel();
        const bool sent = simtest::waitUntil(
            [&] { return !sim.log().filter(needle).isEmpty() || p.state() == QProcess::NotRunning; }, 20000);
        EXPECT_TRUE(sent && p.state() == QProcess::Running)
            << needle.toStdString() << " never came; the program ended with " << p.exitCode() << ":\n"
            << p.readAllStandardOutput().toStdString() << p.readAllStandardError().toStdString();
#ifndef _WIN32
        ::kill(static_cast<pid_t>(p.processId()), signal);
#else
        Q_UNUSED(signal);
#endif
        EXPECT_TRUE(p.waitForFinished(30000));
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
                QString::fromUtf8(p.readAllStandardOutput()), QString::fromUtf8(p.readAllStandardError())};
    }
    QStringList tcp()
    {
        return {"--tcp", QStringLiteral("127.0.0.1:%1").arg(sim.listenTcp())};
    }
};

class CliLog : public Cli {};

} // namespace

#ifndef _WIN32

// A signal while a write is held up by the reader: the write's own exchange ends, one short
// read-back follows, and the state the reader was left in is said; the status is 128 + the
// signal. A signal before the write leaves the reader as it was.
TEST_F(CliStopped, AWriteCutShortSaysWhatTheReaderWasLeftIn)
{
    const struct {
        QStringList args;
        int faultyRequests; // the answers held up by 1500 ms; -1 every one
        const char *sent;   // the request the signal comes after
        int signal;
        int exit;
        const char *said;
        std::uint8_t address; // the reader's address afterwards
        std::uint16_t outputs;
    } cases[] = {
        {{"set-address", "7", "--force", "--echo", "off", "--timeout-ms", "4000"},
         -1,
         "RX 01 06 01 00",
         SIGTERM,
         143,
         "address 1 -> 7: written, not verified: interrupted",
         7,
         0},
        {{"set-address", "7", "--force", "--echo", "off", "--timeout-ms", "4000"},
         1,
         "RX 01 06 01 00",
         SIGHUP,
         129,
         "address 1 -> 7: written and verified: interrupted",
         7,
         0},
        // The check whether 7 is free comes first: the signal during it stops the write.
        {{"set-address", "7", "--timeout-ms", "1500"},
         -1,
         "RX 07 03 01 07", // the identity read at 7
         SIGINT,
         130,
         "address 1 -> 7: not written: interrupted",
         1,
         0},
        // The echo comes after the time-out and the read-back within none of its own.
        {{"write", "0x0111", "0x0F0F", "--echo", "off", "--timeout-ms", "1000"},
         -1,
         "RX 01 06 01 11",
         SIGTERM,
         143,
         "0x0111 <- 0x0F0F (3855): written, not verified: interrupted",
         1,
         0x0F0F},
        {{"write", "0x0111", "0x0F0F", "--timeout-ms", "4000"},
         -1,
         "RX 01 03 01 00", // the read that learns the line's echo
         SIGHUP,
         129,
         "0x0111 <- 0x0F0F (3855): not written: interrupted",
         1,
         0},
        {{"set-do", "F00F", "--echo", "off", "--timeout-ms", "4000"},
         1,
         "RX 01 06 01 11",
         SIGINT,
         130,
         "outputs <- F00F: written and verified: interrupted",
         1,
         0xF00F},
        {{"reboot", "--timeout-ms", "4000"},
         -1,
         "RX 01 06 01 0A",
         SIGTERM,
         143,
         "reboot: written and verified: interrupted",
         1,
         0},
    };
    const QStringList link = tcp();
    for (const auto &c : cases) {
        for (const bool json : {false, true}) {
            SCOPED_TRACE(c.args.join(' ').toStdString() + (json ? " --json" : ""));
            sim.withReader([](sim::VirtualReader &r) {
                r.setAddress(1);
                r.setRegister(0x0111, 0);
            });
            sim.clearLog();
            sim::FaultScript slow;
            slow.delayMs = 1500;
            slow.faultyRequests = c.faultyRequests;
            sim.setFaults(slow);
            QStringList args = QStringList(c.args) << "--yes" << link;
            if (json)
                args << "--json";
            const Result r = runAndSignal(args, QString::fromUtf8(c.sent), c.signal);
            sim.setFaults({});
            EXPECT_EQ(r.code, c.exit) << r;
            EXPECT_TRUE(r.err.contains(QStringLiteral("interrupted by %1")
                                           .arg(c.signal == SIGTERM  ? "SIGTERM"
                                                : c.signal == SIGHUP ? "SIGHUP"
                                                                     : "SIGINT")))
                << r;
            if (json) {
                const QJsonObject error = r.json()["error"].toObject();
                EXPECT_EQ(error["message"].toString(), QString::fromUtf8(c.said)) << r;
                EXPECT_EQ(error["exit"].toInt(), c.exit) << r;
                EXPECT_EQ(error["written"].toBool(), !QString::fromUtf8(c.said).contains("not written")) << r;
                EXPECT_EQ(error["verified"].toBool(), QString::fromUtf8(c.said).contains("and verified")) << r;
                EXPECT_TRUE(error["interrupted"].toBool()) << r;
            } else {
                EXPECT_EQ(r.out, QString::fromUtf8(c.said) + "\n") << r;
            }
            sim.withReader([&](sim::VirtualReader &reader) {
                EXPECT_EQ(reader.address(), c.address);
                EXPECT_EQ(reader.outputs(), c.outputs);
            });
        }
    }
}

// The long-running commands end as they would at their end, with the signal's status.
TEST_F(CliStopped, AWatchAndAScanEndCleanly)
{
    const QStringList link = tcp();
    Result r = runAndSignal(QStringList{"card", "--watch", "--interval-ms", "20"} << link, "RX 01 03 01 1B", SIGTERM);
    EXPECT_EQ(r.code, 143) << r;
    EXPECT_TRUE(r.out.isEmpty()) << r;
    EXPECT_FALSE(r.err.contains("does not answer")) << r;

    r = runAndSignal(QStringList{"scan", "--scan-timeout-ms", "30"} << link, "RX 05 03 01 00", SIGHUP);
    EXPECT_EQ(r.code, 129) << r;
    EXPECT_TRUE(r.out.startsWith("address 1  serial")) << r;
    EXPECT_TRUE(r.err.contains("stopped after")) << r;

    sim.clearLog();
    r = runAndSignal(QStringList{"scan", "--scan-timeout-ms", "30", "--json"} << link, "RX 05 03 01 00", SIGINT);
    EXPECT_EQ(r.code, 130) << r;
}

// The self-test's pattern on the outputs is put back even after a signal.
TEST_F(CliStopped, TheSelftestPutsTheOutputsBack)
{
    sim.withReader([](sim::VirtualReader &r) { r.setRegister(0x0111, 0x1234); });
    sim::FaultScript slow;
    slow.delayMs = 300;
    sim.setFaults(slow);
    const Result r = runAndSignal(QStringList{"selftest", "--outputs", "--json", "--timeout-ms", "4000"} << tcp(),
                                  "RX 01 06 01 11 A5 5A", SIGTERM);
    EXPECT_EQ(r.code, 143) << r;
    EXPECT_TRUE(r.json()["interrupted"].toBool()) << r;
    const QJsonArray steps = r.json()["steps"].toArray();
    ASSERT_FALSE(steps.isEmpty()) << r;
    EXPECT_EQ(steps.last()["name"].toString(), "restore outputs") << r;
    EXPECT_TRUE(steps.last()["passed"].toBool()) << r;
    sim.withReader([](sim::VirtualReader &reader) { EXPECT_EQ(reader.outputs(), 0x1234); });
}

#endif

// A log file with a bound is turned over before it grows past it: one older file, FILE.1,
// and a first line in the new one that says so. An old log already past the bound goes at
// the first frame; 0 keeps every line in one file.
TEST_F(CliLog, TheLogIsRotatedAtItsBound)
{
    const QString tcp = QStringLiteral("127.0.0.1:%1").arg(sim.listenTcp());
    const QStringList scan{"scan", "--from", "1", "--to", "254", "--scan-timeout-ms", "5", "--tcp", tcp};
    const struct {
        QStringList args;
        qint64 before; // bytes of an old log
        const char *bound;
        bool rotated;
        bool twice; // FILE.1 begins with the note too
    } cases[] = {
        {scan, 0, "0.01", true, true},
        {scan, 0, "0", false, false},
        {{"identify", "--tcp", tcp}, 20000, "0.01", true, false},
        {{"identify", "--tcp", tcp}, 2000, "0.01", false, false},
    };
    int n = 0;
    for (const auto &c : cases) {
        const QString log = config.filePath(QStringLiteral("frames%1.log").arg(++n));
        SCOPED_TRACE((c.args.join(' ') + " --log-max-mb " + c.bound).toStdString());
        if (c.before > 0) {
            QFile old(log);
            ASSERT_TRUE(old.open(QIODevice::WriteOnly));
            old.write(QByteArray(c.before - 1, 'o') + '\n');
        }
        QFile(log + ".1").remove();
        const Result r = run(QStringList(c.args) << "--log" << log << "--log-max-mb" << c.bound);
        EXPECT_EQ(r.code, 0) << r;
        QFile now(log), older(log + ".1");
        ASSERT_TRUE(now.open(QIODevice::ReadOnly));
        const QByteArray text = now.readAll();
        const QList<QByteArray> lines = text.split('\n');
        const QByteArray note = "log rotated: earlier lines in " + QFile::encodeName(log) + ".1";
        EXPECT_EQ(lines.first().endsWith(note), c.rotated) << lines.first().toStdString();
        EXPECT_EQ(older.exists(), c.rotated);
        EXPECT_FALSE(QFile::exists(log + ".2"));
        if (c.args.first() == "scan") {
            EXPECT_TRUE(text.contains("TX slave 254:")) << "the newest frames are in the new file";
        }
        if (QString::fromLatin1(c.bound) != "0") {
            EXPECT_LE(QFileInfo(log).size(), 10000);
            EXPECT_LE(QFileInfo(log + ".1").size(), 10000 > c.before ? 10000 : c.before);
        } else {
            EXPECT_GT(QFileInfo(log).size(), 10000);
        }
        if (c.rotated) {
            ASSERT_TRUE(older.open(QIODevice::ReadOnly));
            const QByteArray first = older.readLine();
            EXPECT_EQ(first.contains(note), c.twice) << first.toStdString();
            if (c.before > 0) {
                EXPECT_EQ(older.size(), c.before) << "the old log whole in FILE.1";
            }
        }
    }

    // A bound that cannot be kept is a log that cannot be written: said, and exit 5.
    const QString stuck = config.filePath("stuck.log");
    {
        QFile old(stuck);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write(QByteArray(20000, 'o'));
    }
    ASSERT_TRUE(QDir().mkpath(stuck + ".1/full"));
    const Result r = run({"identify", "--tcp", tcp, "--log", stuck, "--log-max-mb", "0.01"});
    EXPECT_EQ(r.code, 5) << r;
    EXPECT_TRUE(r.err.contains(QStringLiteral("cannot rotate the log %1 to %1.1").arg(stuck))) << r;

    // Nonsense is refused before anything is sent.
    const int requests = sim.requestCount();
    for (const QStringList &bad : QList<QStringList>{{"--log", "x.log", "--log-max-mb", "-1"},
                                                     {"--log", "x.log", "--log-max-mb", "ten"},
                                                     {"--log", "x.log", "--log-max-mb", "nan"},
                                                     {"--log", "x.log", "--log-max-mb", "0.0001"},
                                                     {"--log", "x.log", "--log-max-mb", "2e6"},
                                                     {"--log", "-", "--log-max-mb", "1"},
                                                     {"--log-max-mb", "1"}}) {
        const Result r = run(QStringList{"identify", "--tcp", tcp} << bad);
        EXPECT_EQ(r.code, 2) << bad.join(' ').toStdString() << "\n" << r;
        EXPECT_TRUE(r.err.contains("--log-max-mb")) << r;
    }
    EXPECT_EQ(sim.requestCount(), requests);
}
