// Figures for relvix-cli against the virtual reader, run as a person runs the program:
//  - scan over 1..254 at 19200 baud on a pseudo-terminal with three readers: total time,
//    time per silent address, and how far that lies above the wire time of a request plus
//    the scan time-out; the same with one reader answering 20 ms after the time-out;
//  - the drain: from a failed exchange to the next request, against the time-out;
//  - card --watch: from a card presented on the reader to its event line on stdout;
//  - identify: from the start of the process to the reader seeing the first request.
// Prints figures; never passes or fails. Run under scripts/loopback-only.
#include "benchcommon.h"
#include "reader/cardreader.h"
#include "simserver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace relvix;
using relvix::bench::cliProgram;
using relvix::bench::median;

namespace {

QProcess *startCli(const QStringList &args, const QTemporaryDir &config)
{
    auto *p = new QProcess;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", config.path());
    p->setProcessEnvironment(env);
    p->start(cliProgram(), args);
    return p;
}

// Scan over 1..254 with readers at 1, 100 and 254; lateMs > 0 makes the one at 100 answer
// that much after the scan time-out. Returns the total time in ms.
double scanFigures(const QTemporaryDir &config, int scanTimeoutMs, int lateMs)
{
    sim::SimServer sim;
    sim.withReader([](sim::VirtualReader &r) { r.setAddress(1); });
    for (int a : {100, 254})
        sim.addReader([a, lateMs, scanTimeoutMs](sim::VirtualReader &r) {
            r.setAddress(static_cast<std::uint8_t>(a));
            if (a == 100 && lateMs > 0)
                r.setAnswerDelayMs(scanTimeoutMs + lateMs);
        });
    const QString pty = sim.openPty();
    QElapsedTimer t;
    t.start();
    QProcess *p = startCli({"scan", "--port", pty, "--modes", "19200,e,8,1", "--scan-timeout-ms",
                            QString::number(scanTimeoutMs), "--json"},
                           config);
    p->waitForFinished(600000);
    const double totalMs = t.elapsed();
    QStringList hits;
    for (const QByteArray &line : p->readAllStandardOutput().split('\n')) {
        const QJsonObject hit = QJsonDocument::fromJson(line).object();
        if (!hit.isEmpty())
            hits << QStringLiteral("%1%2").arg(hit["address"].toInt()).arg(hit["late"].toBool() ? "(late)" : "");
    }
    // A hit costs two exchanges that are answered at once; every other address waits out
    // the time-out. The wire time of one 8-byte request at 19200 baud: 8 * 11 / 19200 s.
    const double wireMs = 8 * 11 * 1000.0 / 19200;
    const int silent = 254 - int(hits.size());
    const double perSilent = totalMs / silent; // hits and start-up counted in, an upper bound
    std::printf("scan 1..254 at 19200 on a pty, readers at 1, 100, 254%s, scan time-out %d ms:\n",
                lateMs > 0
                    ? QStringLiteral(" (100 answers %1 ms after the time-out)").arg(lateMs).toLocal8Bit().constData()
                    : "",
                scanTimeoutMs);
    std::printf("  found %s (exit %d)\n", hits.join(' ').toLocal8Bit().constData(), p->exitCode());
    std::printf("  total %.0f ms; %.2f ms per silent address (upper bound, hits and start-up counted in)\n"
                "  wire time of a request + time-out = %.2f ms: overhead %.2f ms per address (goal < 2);\n"
                "  the pty does not pace bytes, so against the time-out alone: %.2f ms\n",
                totalMs, perSilent, wireMs + scanTimeoutMs, perSilent - (wireMs + scanTimeoutMs),
                perSilent - scanTimeoutMs);
    delete p;
    return totalMs;
}

// From a failed exchange to the next request going out, under the strict rule on a pty: to
// the same address (a late answer there would look like the answer: one time-out of quiet)
// and to another (the address check is enough: a few character times at most).
void drainFigures()
{
    struct Host : ExchangeHost, FrameObserver {
        void processMessages() override {}
        void frameEvent(const FrameEvent &e) override
        {
            if (e.kind == FrameEvent::Kind::NoResponse)
                failedAt = e.timeMs;
            if (e.kind == FrameEvent::Kind::Request)
                gap = double(e.timeMs - failedAt);
        }
        std::uint32_t failedAt = 0;
        double gap = 0; // from the latest failure to the request after it
    } host;
    for (int timeout : {60, 200, 1000}) {
        sim::SimServer sim; // one reader at 1; nobody at 2 and 3
        ReaderLink link(host);
        link.setAnswerRule(AnswerRule::Strict);
        link.addObserver(&host);
        CardReader reader(link);
        link.state.portName = sim.openPty();
        link.state.serialMode = QStringLiteral("19200,e,8,1");
        link.OpenLink();
        link.setReceiveTimeoutMs(timeout);
        std::vector<double> same, other;
        for (int i = 0; i < 5; ++i) {
            reader.readAddress(2);
            reader.readAddress(2);
            same.push_back(host.gap);
            reader.readAddress(3);
            other.push_back(host.gap);
        }
        std::printf("drain after a failed exchange, time-out %d ms: next request to the same address after %.0f ms, "
                    "to another after %.0f ms (medians of 5)\n",
                    timeout, median(same), median(other));
    }
}

// How long a present reader takes to answer an address read on the pty, from the request
// going out to the response accepted: what the scan time-out must cover, beside a real
// reader's own turnaround and the wire time the pty does not pace.
void answerFigures()
{
    struct Host : ExchangeHost {
        void processMessages() override {}
    } host;
    for (const char *mode : {"9600,e,8,1", "19200,e,8,1"}) {
        sim::SimServer sim;
        ReaderLink link(host);
        CardReader reader(link);
        link.state.portName = sim.openPty();
        link.state.serialMode = QString::fromLatin1(mode);
        link.OpenLink();
        std::vector<double> times;
        for (int i = 0; i < 300; ++i) {
            QElapsedTimer t;
            t.start();
            if (reader.readAddress(1))
                times.push_back(t.nsecsElapsed() / 1e6);
        }
        std::sort(times.begin(), times.end());
        if (times.empty())
            continue;
        std::printf("answer time on the pty at %s: median %.2f ms, 99th %.2f ms, max %.2f ms (%zu reads)\n", mode,
                    median(times), times[times.size() * 99 / 100], times.back(), times.size());
    }
}

// A card presented on the reader, and the event line on stdout.
void watchFigures(const QTemporaryDir &config, int intervalMs)
{
    sim::SimServer sim;
    const quint16 port = sim.listenTcp();
    QProcess *p = startCli({"card", "--watch", "--format", "8H", "--interval-ms", QString::number(intervalMs), "--tcp",
                            QStringLiteral("127.0.0.1:%1").arg(port)},
                           config);
    p->waitForStarted();
    while (sim.requestCount() < 2) // the first poll sets where the watch starts
        QThread::msleep(1);
    std::vector<double> latencies;
    for (int i = 0; i < 20; ++i) {
        QThread::msleep(37 * (i % 5)); // present at different phases of the poll
        QElapsedTimer t;
        const QByteArray uid = QByteArray::number(0x10000000 + i, 16);
        t.start();
        sim.withReader([&](sim::VirtualReader &r) { r.presentCard(QByteArray::fromHex(uid)); });
        while (!p->canReadLine())
            p->waitForReadyRead(5000);
        latencies.push_back(t.nsecsElapsed() / 1e6);
        p->readLine();
    }
    p->kill();
    p->waitForFinished();
    std::sort(latencies.begin(), latencies.end());
    std::printf("card --watch, interval %d ms: card to event line median %.1f ms, max %.1f ms (goal < %d)\n",
                intervalMs, median(latencies), latencies.back(), intervalMs + 30);
    delete p;
}

// From starting the process to the first request reaching the reader.
void startupFigures(const QTemporaryDir &config)
{
    std::vector<double> times;
    for (int i = 0; i < 15; ++i) {
        sim::SimServer sim;
        const quint16 port = sim.listenTcp();
        QElapsedTimer t;
        t.start();
        QProcess *p = startCli({"identify", "--tcp", QStringLiteral("127.0.0.1:%1").arg(port)}, config);
        while (sim.requestCount() < 1 && t.elapsed() < 10000)
            QThread::usleep(200);
        times.push_back(t.nsecsElapsed() / 1e6);
        p->waitForFinished();
        delete p;
    }
    std::printf("identify: process start to first request median %.1f ms, max %.1f ms over %zu runs (goal < 50)\n",
                median(times), *std::max_element(times.begin(), times.end()), times.size());
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir config;
    answerFigures();
    startupFigures(config);
    watchFigures(config, 100);
    drainFigures();
    if (argc > 1 && QByteArray(argv[1]) == "--drain")
        return 0;
    const double plain = scanFigures(config, 60, 0);
    const double late = scanFigures(config, 60, 20);
    std::printf("one reader 20 ms late: the scan took %.0f ms longer (goal < 1500)\n", late - plain);
    return 0;
}
