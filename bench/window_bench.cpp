// Card loop reading through the real window against the virtual reader on a
// pseudo-terminal and on loopback TCP: passes per second, the share of each pass that is
// the two fixed 50 ms pauses, and the processor time of the window idle and while looping.
// Prints figures; never fails.
#include "shell/frmmodule.h"
#include "shell/tone.h"
#include "simserver.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <cstdio>

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

    WindowServices services;
    services.serialPorts = [] { return QStringList{QStringLiteral("COM1")}; };
    services.tone = std::make_shared<Silent>();
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
    return 0;
}
