// Closing the main window ends relvix whatever tool window is open: the real program, with a
// settings folder of its own pointed at a virtual reader on 127.0.0.1, driven from inside by
// a preloaded module (closedriver.cpp) on the offscreen platform.
#include "simserver.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

struct ProgramRun {
    bool ended = false;
    int exitCode = -1;
    qint64 closeToEndMs = -1; // from the close request to the process's end
    QString errors;
};

ProgramRun runRelvix(const QByteArray &how, quint16 port)
{
    ProgramRun run;
    QTemporaryDir home;
    QDir(home.path()).mkpath(QStringLiteral("config/Kavrel"));
    QFile conf(home.filePath(QStringLiteral("config/Kavrel/Relvix.conf")));
    if (!conf.open(QIODevice::WriteOnly))
        return run;
    conf.write(
        QStringLiteral("[General]\nTYPE=1\nNetIP=127.0.0.1\nNetPort=%1\nLanguageFlag=English\n").arg(port).toUtf8());
    conf.close();

    QProcess relvix;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("HOME"), home.path());
    env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(RELVIX_CLOSE_DRIVER));
    env.insert(QStringLiteral("RELVIX_CLOSE_DRIVE"), QString::fromLatin1(how));
    relvix.setProcessEnvironment(env);
    QElapsedTimer sinceClose;
    QObject::connect(&relvix, &QProcess::readyReadStandardError, [&] {
        const QString text = QString::fromLocal8Bit(relvix.readAllStandardError());
        run.errors += text;
        if (text.contains(QStringLiteral("driver: closing")) && !sinceClose.isValid())
            sinceClose.start();
    });
    relvix.start(QStringLiteral(RELVIX_PROGRAM), {});
    if (!relvix.waitForStarted(10'000))
        return run;
    // Wide: a loaded 2-core machine; a process that does not end takes the whole wait.
    QElapsedTimer waited;
    waited.start();
    while (relvix.state() != QProcess::NotRunning && waited.elapsed() < 30'000)
        relvix.waitForFinished(50);
    run.errors += QString::fromLocal8Bit(relvix.readAllStandardError());
    if (relvix.state() != QProcess::NotRunning) {
        relvix.kill();
        relvix.waitForFinished(5000);
        return run;
    }
    run.ended = relvix.exitStatus() == QProcess::NormalExit;
    run.exitCode = relvix.exitCode();
    run.closeToEndMs = sinceClose.isValid() ? sinceClose.elapsed() : -1;
    return run;
}

TEST(Closing, TheMainWindowEndsRelvixDuringAScanAndWithBothToolWindowsOpen)
{
    relvix::sim::SimServer sim;
    const quint16 port = sim.listenTcp(QStringLiteral("127.0.0.1"), 0);
    ASSERT_NE(port, 0);

    // The close box during a scan over TCP (254 addresses, some 15 s): the scan is cancelled
    // within one exchange and the program ends.
    const ProgramRun scan = runRelvix("scan", port);
    EXPECT_TRUE(scan.errors.contains(QStringLiteral("driver: tools open"))) << scan.errors.toStdString();
    ASSERT_TRUE(scan.ended) << "still running after the close: " << scan.errors.toStdString();
    EXPECT_EQ(scan.exitCode, 0);
    ASSERT_GE(scan.closeToEndMs, 0) << scan.errors.toStdString();
    EXPECT_LT(scan.closeToEndMs, 1000) << "within a second of the close that cancels the scan";
    EXPECT_GT(sim.requestCount(), 0) << "the scan was asking when the close came";

    // File > Exit with the monitor and the finder open.
    const ProgramRun tools = runRelvix("tools", port);
    EXPECT_TRUE(tools.errors.contains(QStringLiteral("driver: closing"))) << tools.errors.toStdString();
    ASSERT_TRUE(tools.ended) << tools.errors.toStdString();
    EXPECT_EQ(tools.exitCode, 0);
    EXPECT_LT(tools.closeToEndMs, 1000);
}

} // namespace
