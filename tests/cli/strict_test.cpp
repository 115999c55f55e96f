// relvix-cli never reports a late, foreign or exception answer as a result: each such
// answer through scan, identify, card and raw, over TCP and a pseudo-terminal, gives its
// named outcome and exit code and nothing wrong on standard output. Then the cases around
// it: a port that vanishes, an address that is taken, output that cannot be written.
#include "clifixture.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QTcpServer>
#include <QThread>

#include <functional>

using namespace relvix;

namespace {

sim::FaultScript faults(std::function<void(sim::FaultScript &)> set)
{
    sim::FaultScript f;
    set(f);
    return f;
}

class CliStrict : public Cli, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override
    {
        if (!GetParam())
            RELVIX_SKIP_WITHOUT_PTY();
        sim.withReader([](sim::VirtualReader &r) {
            r.setSerialNumber(0x01);
            r.presentCard(QByteArray::fromHex("12345678"));
            r.typeKeys(QByteArray::fromHex("0102"));
        });
        for (std::uint8_t a : {5, 7})
            sim.addReader([a](sim::VirtualReader &r) { r.setAddress(a); });
        link = GetParam() ? QStringList{"--tcp", QStringLiteral("127.0.0.1:%1").arg(sim.listenTcp())}
                          : QStringList{"--port", sim.openPty(), "--mode", "19200,e,8,1"};
    }
    QStringList link;
};

// One command on a line with a fault: its exit code, its error's outcome and what stderr says.
struct FaultCase {
    const char *name;
    sim::FaultScript faults;
    QStringList args;
    int exit;
    const char *outcome; // of the error object; "" for a result
    const char *errSays;
};

// The cases around the table; a suite name of its own (Cli is another file's).
class CliAround : public Cli {};

} // namespace

TEST_P(CliStrict, LateForeignExceptionAndStaleAnswersAreNeverResults)
{
    const FaultCase cases[] = {
        {"a late answer is a mismatch at the next address, then found at its own",
         faults([](auto &f) { f.delayMs = 80; }),
         {"scan", "--from", "1", "--to", "10", "--modes", "19200,e,8,1"},
         0,
         "",
         "found 3"},
        {"another slave's answer",
         faults([](auto &f) { f.answerAsAddress = 9; }),
         {"identify"},
         1,
         "mismatch",
         "slave 9"},
        {"an exception, at once",
         faults([](auto &f) { f.exceptionCode = 2; }),
         {"identify"},
         1,
         "exception",
         "exception 02 (illegal data address)"},
        {"an exception as raw shows",
         faults([](auto &f) { f.exceptionCode = 2; }),
         {"raw", "03", "01000001"},
         1,
         "exception",
         "exception 02"},
        {"a late card block is not the keypad's",
         faults([](auto &f) { f.delayMs = 1200; }),
         {"card"},
         1,
         "silence",
         "raise --timeout-ms"},
        {"a late answer is not the next raw answer",
         faults([](auto &f) { f.delayMs = 500; }),
         {"raw", "03", "01070003", "--timeout-ms", "300"},
         1,
         "silence",
         "answered after"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        sim.setFaults(c.faults);
        const int before = sim.requestCount();
        const Result r = run(QStringList(c.args) << "--json" << link);
        EXPECT_EQ(r.code, c.exit) << r;
        EXPECT_TRUE(r.err.contains(QString::fromUtf8(c.errSays))) << r;
        if (*c.outcome) {
            const QJsonObject error = r.json()["error"].toObject();
            EXPECT_EQ(r.out.count('\n'), 1) << r; // one object, nothing else
            EXPECT_EQ(error["outcome"].toString(), c.outcome) << r;
            EXPECT_EQ(error["exit"].toInt(), c.exit) << r;
            if (QString(c.outcome) == "exception") {
                EXPECT_EQ(error["exception"].toObject(), (QJsonObject{{"code", 2}, {"name", "illegal data address"}}));
                EXPECT_EQ(sim.requestCount() - before, 1) << "an exception is not retried";
                if (c.args.first() == "raw") {
                    EXPECT_EQ(error["rx"].toString(), "01 83 02 C0 F1");
                }
            }
        } else {
            QStringList hits;
            for (const QString &line : r.out.split('\n', Qt::SkipEmptyParts)) {
                const QJsonObject hit = QJsonDocument::fromJson(line.toUtf8()).object();
                hits << QString::number(hit["address"].toInt());
                // Late, unless the machine was too busy to look before the answer was there.
                EXPECT_TRUE(hit.contains("late")) << line.toStdString();
            }
            EXPECT_EQ(hits, QStringList({"1", "5", "7"})) << r; // each at its own address, none elsewhere
        }
        if (c.args.first() == "identify" || c.args.first() == "card") {
            EXPECT_FALSE(r.out.contains("serial") || r.out.contains("uid")) << r;
        }
    }
}

// Line conditions x commands: each names what it heard, with its exit code, and never
// takes it for a result. A second answer is the fault's bytes right behind the answer.
TEST_P(CliStrict, LineConditionsAreNamedByEveryCommand)
{
    const QByteArray secondAnswer = QByteArray::fromHex("0103020001"
                                                        "7984");
    const auto twice = faults([&](auto &f) { f.noiseAfter = secondAnswer; });
    const auto garbled = faults([](auto &f) { f.wrongCrc = true; });
    const auto gatewayOnce = faults([](auto &f) {
        f.exceptionCode = 0x0B;
        f.faultyRequests = 1;
    });
    const auto busyOnce = faults([](auto &f) {
        f.exceptionCode = 0x06;
        f.faultyRequests = 1;
    });
    const auto noise = faults([](auto &f) { f.noiseBefore = QByteArray::fromHex("FF0013"); });
    const FaultCase rows[] = {
        {"two answers: identify", twice, {"identify"}, 1, "answered twice", "two readers answer"},
        {"two answers: card", twice, {"card"}, 1, "answered twice", "more than one reader at address 1"},
        {"two answers: watch", twice, {"card", "--watch", "--for", "1"}, 1, "answered twice", "two answers"},
        {"two answers: write", twice, {"write", "0x0111", "0xF00F", "--yes"}, 1, "answered twice", "two answers"},
        {"two answers: scan", twice, {"scan", "--from", "1", "--to", "2", "--modes", "19200,e,8,1"}, 0, "", "scanned"},
        {"garbled: identify", garbled, {"identify", "--retries", "0"}, 1, "garbled", "two readers answer"},
        {"garbled at the target: set-address",
         garbled,
         {"set-address", "5", "--yes"},
         1,
         "garbled",
         "address 5 is taken: something answers there: garbled"},
        {"gateway 0B to the write: set-address ends, no verify",
         gatewayOnce,
         {"set-address", "9", "--yes"},
         1,
         "exception",
         "the write was refused"},
        {"gateway 0B: identify",
         faults([](auto &f) { f.exceptionCode = 0x0B; }),
         {"identify", "--retries", "1"},
         1,
         "exception",
         "no reader behind the gateway at address 1 in 2 tries"},
        {"busy once: identify asks again", busyOnce, {"identify"}, 0, "", ""},
        {"noise before the answer: card", noise, {"card"}, 0, "", ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        sim.setFaults(row.faults);
        const Result r = run(QStringList(row.args) << "--json" << link);
        sim.setFaults({});
        EXPECT_EQ(r.code, row.exit) << r;
        EXPECT_TRUE(r.err.contains(QString::fromUtf8(row.errSays))) << r;
        if (*row.outcome) {
            const QJsonObject error = r.json()["error"].toObject();
            EXPECT_EQ(error["outcome"].toString(), row.outcome) << r;
            EXPECT_EQ(error["exit"].toInt(), row.exit) << r;
            EXPECT_FALSE(r.out.contains("\"uid\"") || r.out.contains("\"serial\"")) << r;
        }
        if (row.args.first() == "scan") {
            EXPECT_TRUE(r.out.contains("\"twoReaders\":true")) << r;
        }
        if (row.args.first() == "set-address" && row.exit == 0) {
            run(QStringList{"set-address", "1", "--yes", "--address", "9"} << link); // back for the next rows
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Link, CliStrict, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool> &info) { return info.param ? "Tcp" : "Pty"; });

// The pseudo-terminal goes away while a watch runs: one line naming the port, exit 3.
TEST_F(CliAround, AWatchEndsWhenThePortVanishes)
{
    RELVIX_SKIP_WITHOUT_PTY();
    const QString pty = sim.openPty();
    QProcess watch;
    watch.start(QStringLiteral(RELVIX_CLI_PROGRAM), {"card", "--watch", "--port", pty});
    QElapsedTimer waited;
    waited.start();
    while (sim.requestCount() < 2 && waited.elapsed() < 10000)
        QThread::msleep(5);
    sim.closePty();
    waited.restart();
    ASSERT_TRUE(watch.waitForFinished(20000));
    EXPECT_LT(waited.elapsed(), 10000); // a few seconds at most, however loaded the machine
    EXPECT_EQ(watch.exitCode(), 3);
    const QString err = QString::fromUtf8(watch.readAllStandardError());
    EXPECT_TRUE(err.contains(QStringLiteral("the link to serial %1").arg(pty) + " 19200,e,8,1 was lost: "))
        << err.toStdString();
}

TEST_F(CliAround, SetAddressRefusesAnAddressThatIsTakenAndWritesNothing)
{
    sim.addReader([](sim::VirtualReader &r) {
        r.setAddress(7);
        r.setSerialNumber(0x07);
    });
    const QString tcp = QStringLiteral("127.0.0.1:%1").arg(sim.listenTcp());
    Result r = run({"set-address", "7", "--yes", "--tcp", tcp});
    EXPECT_EQ(r.code, 1) << r;
    EXPECT_TRUE(r.err.contains("address 7 is taken: a reader with S/N 00000007 answers there; nothing was written"))
        << r;
    EXPECT_FALSE(sim.log().join('\n').contains("RX 01 06")) << sim.log().join('\n').toStdString();
    EXPECT_EQ(sim.readerAddresses(), (QList<std::uint8_t>{1, 7}));
    r = run({"set-address", "7", "--yes", "--force", "--tcp", tcp});
    EXPECT_EQ(sim.readerAddresses(), (QList<std::uint8_t>{7, 7})) << r;
}

// Paths checked before anything is sent; a result or report that cannot be written is an
// error, not a success.
TEST_F(CliAround, OutputThatCannotBeWrittenIsAnError)
{
    const QString tcp = QStringLiteral("127.0.0.1:%1").arg(sim.listenTcp());
    const QString missing = config.filePath("no/such/folder/file");
    for (const QStringList &args :
         {QStringList{"selftest", "--report", missing}, QStringList{"identify", "--log", missing},
          QStringList{"identify", "--log", config.path()}}) {
        const Result r = run(QStringList(args) << "--tcp" << tcp);
        EXPECT_EQ(r.code, 2) << r;
        EXPECT_TRUE(r.err.contains(missing) || r.err.contains(config.path())) << r;
    }
    EXPECT_EQ(sim.tcpConnectionCount(), 0);
    if (QFile::exists("/dev/full")) {
        Result r = run({"selftest", "--report", "/dev/full", "--tcp", tcp});
        EXPECT_EQ(r.code, 5) << r;
        EXPECT_TRUE(r.err.contains("cannot write the report /dev/full")) << r;
        r = run({"identify", "--tcp", tcp}, 60000, "/dev/full");
        EXPECT_EQ(r.code, 5) << r;
        EXPECT_TRUE(r.err.contains("standard output")) << r;
        r = run({"identify", "--log", "/dev/full", "--tcp", tcp});
        EXPECT_EQ(r.code, 5) << r;
    }
}

// Open and connect errors in the system's words, exit 3, and nothing opened.
TEST_F(CliAround, OpenErrorsSayWhy)
{
    quint16 closed = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
        closed = probe.serverPort();
    }
    const struct {
        QStringList link;
        const char *says;
    } cases[] = {
        {{"--port", config.filePath("ttyNONE")}, "no such device"},
        {{"--port", relvix::testing::kNullDevice}, "not a serial port"},
        {{"--tcp", QStringLiteral("127.0.0.1:%1").arg(closed)}, "connection refused"},
    };
    for (const auto &c : cases) {
        const Result r = run(QStringList{"io", "--json"} << c.link);
        EXPECT_EQ(r.code, 3) << r;
        EXPECT_TRUE(r.err.contains(QString::fromUtf8(c.says))) << r;
        EXPECT_EQ(r.json()["error"].toObject()["reason"].toString(), c.says) << r;
    }
}

// The first read of the card block fails: the card already there is where the watch
// starts once it is read, not an event.
TEST_F(CliAround, AWatchWhoseFirstReadFailsReportsNoFalseEvent)
{
    sim.withReader([](sim::VirtualReader &r) { r.presentCard(QByteArray::fromHex("A1B2C3D4")); });
    sim.setFaults(faults([](auto &f) {
        f.silent = true;
        f.faultyRequests = 1;
    }));
    const Result r = run({"card", "--watch", "--for", "1.5", "--timeout-ms", "100", "--tcp",
                          QStringLiteral("127.0.0.1:%1").arg(sim.listenTcp())});
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_TRUE(r.out.isEmpty()) << r;
    EXPECT_TRUE(r.err.contains("the reader answers again")) << r;
}
