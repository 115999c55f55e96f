// Card loop reading through the real window against the virtual reader on a
// pseudo-terminal and on loopback TCP: passes per second, the share of each pass that is
// the two fixed 50 ms pauses, and the processor time of the window idle and while looping.
// Then the traffic monitor's cost: the loop's passes per second with the monitor never
// opened, open, opened and closed again (still recording), open with a filter on, and open
// with a file log, with the fixed pauses and
// without them, runs interleaved round by round and medians printed; and the memory and
// times of a log of 100 000 lines.
//   build/bench/window_bench [ROUNDS] [SECONDS_PER_RUN]
// Prints figures; never fails.
#include "link/frameevent.h"
#include "shell/frmmodule.h"
#include "shell/tone.h"
#include "shell/trafficlog.h"
#include "shell/trafficmonitor.h"
#include "simserver.h"

#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace relvix;

namespace {

struct Silent : TonePlayer {
    void play(int, int) override {}
};

double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void idleFigure(TfrmModule &w, int ms)
{
    w.show();
    QElapsedTimer t;
    const double c0 = cpuSeconds();
    t.start();
    QTimer::singleShot(ms, [] { QCoreApplication::quit(); });
    QCoreApplication::exec();
    const double used = cpuSeconds() - c0;
    std::printf("idle window: %.2f %% of one core over %d ms\n", 100.0 * used / (t.elapsed() / 1000.0), ms);
}

void loopFigure(TfrmModule &w, sim::SimServer &sim, const char *label, int ms)
{
    w.chkLoop->setChecked(true);
    const int before = sim.requestCount();
    QElapsedTimer t;
    double c0 = 0;
    QTimer::singleShot(ms, [&] { w.btnUID->click(); });
    c0 = cpuSeconds();
    t.start();
    w.btnUID->click();
    const double seconds = t.elapsed() / 1000.0;
    const double cpu = cpuSeconds() - c0;
    const int passes = (sim.requestCount() - before) / 2;
    const double perPass = seconds * 1000.0 / passes;
    std::printf("%s loop: %d passes in %.2f s = %.2f passes/s, %.1f ms a pass, fixed pauses %.0f %% of it, "
                "window thread %.1f %% of one core (status: %s)\n",
                label, passes, seconds, passes / seconds, perPass, 100.0 * 100.0 / perPass, 100.0 * cpu / seconds,
                qPrintable(w.pnMsg->text()));
}

double rssMb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    return -1;
}

// Bytes the heap has handed out and not had back, whatever the process holds on to.
double heapMb()
{
    const struct mallinfo2 info = mallinfo2();
    return double(info.uordblks + info.hblkhd) / 1048576.0;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct LoopRun {
    double passesPerSecond = 0;
    double cpuMsPerPass = 0; // the window thread's processor time: less at the mercy of a busy machine
};

LoopRun loopRun(TfrmModule &w, sim::SimServer &sim, int ms)
{
    w.chkLoop->setChecked(true);
    const int before = sim.requestCount();
    QElapsedTimer t;
    QTimer::singleShot(ms, [&] { w.btnUID->click(); });
    const double c0 = cpuSeconds();
    t.start();
    w.btnUID->click();
    const double cpu = cpuSeconds() - c0;
    const double passes = (sim.requestCount() - before) / 2;
    return {passes / (double(t.elapsed()) / 1000.0), 1000.0 * cpu / passes};
}

void pointAt(TfrmModule &w, bool tcp, const QString &pty, quint16 port)
{
    if (tcp) {
        w.pcPort->setCurrentWidget(w.tsNet);
        w.edIP->setText(QStringLiteral("127.0.0.1"));
        w.edPort->setText(QString::number(port));
    } else {
        w.pcPort->setCurrentWidget(w.tsCom);
        w.cmbPort->setEditText(pty);
        w.cmbBaudrate->setEditText(QStringLiteral("115200,n,8,1"));
    }
}

// The three states of the monitor, each its own window on the same reader, run in turns so
// that a busy machine slows them alike.
void monitorFigures(const WindowServices &services, bool &realPauses, sim::SimServer &sim, const QString &pty,
                    quint16 port, int rounds, int ms)
{
    TfrmModule never(services), open(services), hidden(services), filtered(services), logging(services);
    open.mnuTrafficMonitor->trigger();
    hidden.mnuTrafficMonitor->trigger();
    hidden.trafficMonitor()->close();
    // A filter on the loop's own slave: every line passes it, through the filter's mapping.
    filtered.mnuTrafficMonitor->trigger();
    filtered.trafficMonitor()->seFilterSlave->setValue(1);
    // Every line into a CSV file as it comes.
    QTemporaryDir logDir;
    logging.mnuTrafficMonitor->trigger();
    logging.trafficMonitor()->startFileLog(logDir.filePath(QStringLiteral("bench.csv")));
    constexpr int kStates = 5;
    TfrmModule *windows[kStates] = {&never, &open, &hidden, &filtered, &logging};
    const char *names[kStates] = {"never opened", "open", "closed again", "filtered", "logging"};
    for (TfrmModule *w : windows)
        w->show();
    for (bool pauses : {true, false}) {
        realPauses = pauses;
        for (bool tcp : {false, true}) {
            std::vector<double> rate[kStates], cpu[kStates];
            for (TfrmModule *w : windows)
                pointAt(*w, tcp, pty, port);
            for (int round = 0; round < rounds; ++round) {
                for (int i = 0; i < kStates; ++i) {
                    const LoopRun run = loopRun(*windows[i], sim, ms);
                    rate[i].push_back(run.passesPerSecond);
                    cpu[i].push_back(run.cpuMsPerPass);
                }
            }
            const double base = median(rate[0]);
            std::printf("monitor, %s, %s pauses, medians of %d runs of %d ms:\n", tcp ? "tcp" : "pty",
                        pauses ? "with the" : "without the", rounds, ms);
            for (int i = 0; i < kStates; ++i)
                std::printf("  %-13s %8.2f passes/s (%+5.1f %%), window thread %.3f ms a pass\n", names[i],
                            median(rate[i]), 100.0 * (median(rate[i]) - base) / base, median(cpu[i]));
        }
    }
    realPauses = true;
    std::printf("monitor open: %d lines recorded, batches every %d ms\n", open.trafficMonitor()->log().rowCount(),
                open.trafficMonitor()->log().batchIntervalMs());
}

// The memory of a full log, as a card loop fills it: requests of 8 bytes and answers of 21.
void logFigures(TfrmModule &w)
{
    w.mnuTrafficMonitor->trigger();
    TrafficMonitor &monitor = *w.trafficMonitor();
    TrafficLog &log = monitor.log();
    log.clear();
    QCoreApplication::processEvents();
    FrameEvent request, response;
    request.kind = FrameEvent::Kind::Request;
    request.slave = 1;
    request.bytes = QByteArray::fromHex("010301120008E5F5");
    response.kind = FrameEvent::Kind::Response;
    response.slave = 1;
    response.bytes = QByteArray::fromHex("01031012345678000000000000000000000000AACD");
    const double before = rssMb();
    const double heapBefore = heapMb();
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < TrafficLog::kMaxLines / 2; ++i) {
        // Fresh arrays, as the link makes them: nothing is shared between lines but the request.
        request.bytes.detach();
        response.bytes.detach();
        log.frameEvent(request);
        log.frameEvent(response);
    }
    const double queueMs = double(t.nsecsElapsed()) / 1e6;
    t.restart();
    log.flush();
    const double flushMs = double(t.nsecsElapsed()) / 1e6;
    t.restart();
    QCoreApplication::processEvents(); // the view takes the rows and paints its last page
    const double paintMs = double(t.nsecsElapsed()) / 1e6;
    const double full = rssMb();
    const double heap = heapMb() - heapBefore;
    std::printf("log of %d lines: %.1f MB more on the heap (%.0f bytes a line), %.1f MB more resident; "
                "queueing %.0f ns an event, one batch of them %.0f ms, the view's first look %.0f ms\n",
                log.rowCount(), heap, heap * 1048576.0 / log.rowCount(), full - before, queueMs * 1e6 / log.rowCount(),
                flushMs, paintMs);

    // A full log takes a further batch of a pass's four lines: the oldest four go.
    t.restart();
    for (int i = 0; i < 2; ++i) {
        log.frameEvent(request);
        log.frameEvent(response);
    }
    log.flush();
    QCoreApplication::processEvents();
    std::printf("a batch of 4 lines into the full log: %.2f ms; %.1f MB more on the heap afterwards\n",
                double(t.nsecsElapsed()) / 1e6, heapMb() - heapBefore);

    // What the view costs the loop: it repaints once a batch, while the window is shown.
    t.restart();
    constexpr int kRepaints = 20;
    for (int i = 0; i < kRepaints; ++i)
        monitor.repaint();
    std::printf("one repaint of the whole monitor: %.2f ms; of the traffic view only: ",
                double(t.nsecsElapsed()) / 1e6 / kRepaints);
    t.restart();
    for (int i = 0; i < kRepaints; ++i)
        monitor.trafficView->viewport()->repaint();
    std::printf("%.2f ms\n", double(t.nsecsElapsed()) / 1e6 / kRepaints);

    {
        QBuffer text, csv;
        text.open(QIODevice::WriteOnly);
        csv.open(QIODevice::WriteOnly);
        t.restart();
        log.saveText(text);
        const double textMs = double(t.nsecsElapsed()) / 1e6;
        t.restart();
        log.saveCsv(csv);
        std::printf("saving the full log: text %.0f ms (%.1f MB), CSV %.0f ms (%.1f MB)\n", textMs,
                    double(text.size()) / 1048576.0, double(t.nsecsElapsed()) / 1e6, double(csv.size()) / 1048576.0);
    }
    t.restart();
    log.clear();
    std::printf("clearing it: %.0f ms, %.1f MB more on the heap afterwards\n", double(t.nsecsElapsed()) / 1e6,
                heapMb() - heapBefore);
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());

    sim::SimServer sim;
    sim.withReader([](sim::VirtualReader &r) {
        r.presentCard(QByteArray::fromHex("12345678"));
        r.typeKeys(QByteArray::fromHex("0102"));
    });
    const QString pty = sim.openPty();
    const quint16 port = sim.listenTcp(QStringLiteral("127.0.0.1"), 0);

    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 3;
    const int runMs = argc > 2 ? std::max(500, 1000 * atoi(argv[2])) : 3000;

    bool realPauses = true;
    WindowServices services;
    services.serialPorts = [] { return QStringList{QStringLiteral("COM1")}; };
    services.tone = std::make_shared<Silent>();
    services.pause = [&realPauses](int ms) {
        if (realPauses)
            QThread::msleep(static_cast<unsigned long>(ms));
    };
    TfrmModule w(services);
    idleFigure(w, 3000);

    w.pcPort->setCurrentWidget(w.tsCom);
    w.cmbPort->setEditText(pty);
    w.cmbBaudrate->setEditText(QStringLiteral("115200,n,8,1"));
    loopFigure(w, sim, "pty", 5000);

    w.pcPort->setCurrentWidget(w.tsNet);
    w.edIP->setText(QStringLiteral("127.0.0.1"));
    w.edPort->setText(QString::number(port));
    loopFigure(w, sim, "tcp", 5000);

    monitorFigures(services, realPauses, sim, pty, port, rounds, runMs);
    logFigures(w);
    return 0;
}
