// Figures for relvix-cli scan on a pseudo-terminal with three readers at random addresses and
// modes, whose turnarounds are 2, 40 and 150 ms: per run, the total time of the five default
// modes x 1-254, whether every reader was found at its own address and mode with nothing
// else; then the median, and beside it the old fixed 60 ms scan and mbpoll (-o 0.06, where
// it is installed) over the same line, as ratios. Then the same scan over TCP (one mode x 254)
// and with --modes wide: totals.
//
//     scan_bench [RUNS] [--no-baselines]      (RUNS default 3; the full figure takes 20)
//
// Prints figures; never passes or fails. Run under scripts/loopback-only.
#include "benchcommon.h"
#include "link/serialmode.h"
#include "reader/busscan.h"
#include "simserver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace relvix;
using relvix::bench::cliProgram;
using relvix::bench::median;

namespace {

struct Placed {
    QString mode;
    int address = 0;
    int turnaroundMs = 0;
};

struct Run {
    double seconds = 0;
    bool allFound = false;
    int phantoms = 0; // hits at an address or mode where no reader is
    QString out, err;
};

Run timeProcess(const QString &program, const QStringList &args, const QTemporaryDir &config)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", config.path());
    p.setProcessEnvironment(env);
    QElapsedTimer t;
    t.start();
    p.start(program, args);
    p.waitForFinished(-1);
    Run r;
    r.seconds = double(t.elapsed()) / 1000.0;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

// relvix-cli scan's JSON hits against the readers placed.
void judge(Run &r, const std::vector<Placed> &placed, bool tcp)
{
    QSet<QString> want, got;
    for (const Placed &p : placed)
        want << QStringLiteral("%1@%2").arg(tcp ? QString() : p.mode).arg(p.address);
    for (const QString &line : r.out.split('\n', Qt::SkipEmptyParts)) {
        const QJsonObject hit = QJsonDocument::fromJson(line.toUtf8()).object();
        got << QStringLiteral("%1@%2").arg(hit["mode"].toString()).arg(hit["address"].toInt());
    }
    r.allFound = got.contains(want);
    r.phantoms = int((got - want).size());
}

std::vector<Placed> place(sim::SimServer &sim, QRandomGenerator &random, const QStringList &modes)
{
    std::vector<Placed> placed;
    QSet<int> used;
    for (const int turnaround : {2, 40, 150}) {
        int address = 0;
        do
            address = random.bounded(1, 255);
        while (used.contains(address));
        used << address;
        placed.push_back({modes[random.bounded(int(modes.size()))], address, turnaround});
    }
    for (std::size_t i = 0; i < placed.size(); ++i) {
        const Placed p = placed[i];
        const auto setup = [p, i](sim::VirtualReader &r) {
            r.setAddress(static_cast<std::uint8_t>(p.address));
            r.setSerialNumber(0x100u + std::uint32_t(i));
            r.setLineSpeed(ParseSerialMode(p.mode).baudRate.value_or(0));
            r.setAnswerDelayMs(p.turnaroundMs);
        };
        if (i == 0)
            sim.withReader(setup);
        else
            sim.addReader(setup);
    }
    return placed;
}

QString describe(const std::vector<Placed> &placed)
{
    QStringList parts;
    for (const Placed &p : placed)
        parts << QStringLiteral("%1@%2/%3ms").arg(p.mode).arg(p.address).arg(p.turnaroundMs);
    return parts.join(QStringLiteral(" "));
}

// mbpoll over the same addresses and modes, one call per mode.
double mbpollSeconds(const QString &mbpoll, const QString &pty, const QTemporaryDir &config)
{
    double total = 0;
    for (const QString &mode : DefaultScanModes()) {
        const QString baud = mode.section(QLatin1Char(','), 0, 0);
        const Run r = timeProcess(
            mbpoll,
            {"-m", "rtu", "-b", baud, "-P", "even", "-a", "1:254", "-r", "257", "-c", "1", "-1", "-o", "0.06", pty},
            config);
        total += r.seconds;
    }
    return total;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int runs = 3;
    bool baselines = true;
    for (const QString &arg : app.arguments().mid(1)) {
        if (arg == QLatin1String("--no-baselines"))
            baselines = false;
        else if (arg.toInt() > 0)
            runs = arg.toInt();
    }
    QTemporaryDir config;
    const QString mbpoll = QStandardPaths::findExecutable(QStringLiteral("mbpoll"));
    const quint32 seed = QRandomGenerator::global()->generate();
    QRandomGenerator random(seed);
    std::printf("scan_bench: %d runs, seed %u; readers as MODE@ADDRESS/TURNAROUND\n", runs, seed);

    std::vector<double> totals, oldTotals, mbTotals, ratios, mbRatios;
    int good = 0, phantoms = 0;
    for (int run = 0; run < runs; ++run) {
        sim::SimServer sim;
        const std::vector<Placed> placed = place(sim, random, DefaultScanModes());
        const QString pty = sim.openPty();
        Run r = timeProcess(cliProgram(), {"scan", "--json", "--port", pty}, config);
        judge(r, placed, false);
        totals.push_back(r.seconds);
        good += r.allFound && r.phantoms == 0;
        phantoms += r.phantoms;
        std::printf("run %2d  %-70s  %6.2f s  %s%s\n", run + 1, describe(placed).toLocal8Bit().constData(), r.seconds,
                    r.allFound ? "all found" : "MISSED", r.phantoms ? "  PHANTOM" : "");
        if (!r.allFound || r.phantoms)
            std::printf("%s%s", r.out.toLocal8Bit().constData(), r.err.toLocal8Bit().constData());
        if (baselines) {
            Run old = timeProcess(cliProgram(), {"scan", "--json", "--scan-timeout-ms", "60", "--port", pty}, config);
            judge(old, placed, false);
            oldTotals.push_back(old.seconds);
            ratios.push_back(r.seconds / old.seconds);
            std::printf("        fixed 60 ms: %6.2f s  %s", old.seconds, old.allFound ? "all found" : "MISSED");
            if (!mbpoll.isEmpty()) {
                const double mb = mbpollSeconds(mbpoll, pty, config);
                mbTotals.push_back(mb);
                mbRatios.push_back(r.seconds / mb);
                std::printf("  mbpoll -o 0.06: %6.2f s", mb);
            }
            std::printf("\n");
        }
        std::fflush(stdout);
    }
    std::printf("\nfive default modes x 1-254: median %.2f s (min %.2f, max %.2f); %d of %d runs found every "
                "reader with no phantom (%d phantoms)\n",
                median(totals), *std::min_element(totals.begin(), totals.end()),
                *std::max_element(totals.begin(), totals.end()), good, runs, phantoms);
    if (!oldTotals.empty())
        std::printf("fixed 60 ms scan: median %.2f s; ratio new/old median %.3f\n", median(oldTotals), median(ratios));
    if (!mbTotals.empty())
        std::printf("mbpoll -o 0.06: median %.2f s; ratio new/mbpoll median %.3f\n", median(mbTotals),
                    median(mbRatios));

    {
        sim::SimServer sim;
        const std::vector<Placed> placed = place(sim, random, {QString()});
        const quint16 port = sim.listenTcp();
        Run r =
            timeProcess(cliProgram(), {"scan", "--json", "--tcp", QStringLiteral("127.0.0.1:%1").arg(port)}, config);
        judge(r, placed, true);
        std::printf("TCP, one mode x 254: %.2f s  %s%s\n", r.seconds, r.allFound ? "all found" : "MISSED",
                    r.phantoms ? "  PHANTOM" : "");
    }
    {
        sim::SimServer sim;
        const std::vector<Placed> placed = place(sim, random, WideScanModes());
        const QString pty = sim.openPty();
        Run r = timeProcess(cliProgram(), {"scan", "--json", "--modes", "wide", "--port", pty}, config);
        judge(r, placed, false);
        std::printf("--modes wide (24 modes x 254): %.2f s  %s%s  %s\n", r.seconds, r.allFound ? "all found" : "MISSED",
                    r.phantoms ? "  PHANTOM" : "", describe(placed).toLocal8Bit().constData());
    }
    return 0;
}
