// Find readers through the real window, as a person runs it: a scan over 1..254 at 19200
// baud on a pseudo-terminal with readers at 1, 100 and 254, with the automatic time-out
// (60 ms): total time, time per silent address against the command line's scan of the same
// line (bench/cli_bench), and the window thread's processor time while it scans. Then the
// same over loopback TCP.
//   build/bench/finder_bench [ROUNDS]
// Prints figures; never fails. Run under scripts/loopback-only.
#include "benchcommon.h"
#include "shell/findreaders.h"
#include "shell/frmmodule.h"
#include "shell/tone.h"
#include "simserver.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace relvix;
using relvix::bench::median;

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

// One scan of 1..254 in the dialog; prints its figures and gives the time per silent address.
double scanFigure(FindReadersDialog &d, const char *label)
{
    QElapsedTimer t;
    const double c0 = cpuSeconds();
    t.start();
    d.startScan();
    const double totalMs = double(t.elapsed());
    const double cpu = cpuSeconds() - c0;
    const ScanResult &r = d.lastResult();
    QStringList found;
    for (const FindReadersDialog::Row &row : d.rows())
        found << QString::number(row.hit.address) + (row.hit.late ? QStringLiteral("(late)") : QString());
    const int silent = r.done - r.found;
    const double perSilent = totalMs / std::max(silent, 1); // hits counted in: an upper bound
    std::printf("%s: found %s in %d of %d addresses; total %.0f ms, %.2f ms per silent address "
                "(upper bound), window thread %.1f %% of one core\n",
                label, qPrintable(found.join(' ')), r.done, r.total, totalMs, perSilent,
                100.0 * cpu / (totalMs / 1000));
    return perSilent;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 3;

    sim::SimServer sim;
    sim.withReader([](sim::VirtualReader &r) { r.setAddress(1); });
    for (int a : {100, 254})
        sim.addReader([a](sim::VirtualReader &r) { r.setAddress(static_cast<std::uint8_t>(a)); });
    const QString pty = sim.openPty();
    const quint16 port = sim.listenTcp(QStringLiteral("127.0.0.1"), 0);

    WindowServices services;
    services.serialPorts = [] { return QStringList{QStringLiteral("COM1")}; };
    services.tone = std::make_shared<Silent>();
    TfrmModule w(services);
    w.show();
    w.edIP->setText(QStringLiteral("127.0.0.1"));
    w.edPort->setText(QString::number(port));
    w.cmbPort->setEditText(pty);
    w.pcPort->setCurrentWidget(w.tsCom);
    w.mnuFindReaders->trigger();
    FindReadersDialog &d = *w.findReaders();
    for (QCheckBox *box : d.chkModes)
        box->setChecked(box->text() == QStringLiteral("19200,e,8,1"));

    std::vector<double> serial, network;
    for (int round = 0; round < rounds; ++round) {
        d.rbSerial->setChecked(true);
        serial.push_back(scanFigure(d, "pty 19200,e,8,1"));
        d.rbTcp->setChecked(true);
        network.push_back(scanFigure(d, "tcp"));
    }
    std::printf("median over %d rounds: %.2f ms per silent address on the pty at 19200 (the command line: "
                "bench/cli_bench, 61.8 ms with the same 60 ms time-out); %.2f ms over TCP\n",
                rounds, median(serial), median(network));
    return 0;
}
