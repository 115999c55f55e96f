#pragma once
// What the relvix-cli tests share: running the real program with a settings folder of its
// own, and its exit code, standard output and standard error.
#include "simserver.h"
#include "support/platform.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

struct Result {
    int code = -1;
    QString out, err;
    QJsonObject json() const { return QJsonDocument::fromJson(out.toUtf8()).object(); }
};

std::ostream &operator<<(std::ostream &os, const Result &r)
{
    return os << "exit " << r.code << "\nstdout: " << r.out.toStdString() << "\nstderr: " << r.err.toStdString();
}

class Cli : public ::testing::Test {
protected:
    Cli() { relvix::testing::clearPlatformSettings(); }

    // Every run gets a settings folder of its own: the user's settings are never read.
    Result run(const QStringList &args, int timeoutMs = 60000, const QString &stdoutFile = {})
    {
        QProcess p;
        if (!stdoutFile.isEmpty())
            p.setStandardOutputFile(stdoutFile);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", config.path());
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(RELVIX_CLI_PROGRAM), args);
        p.closeWriteChannel();
        EXPECT_TRUE(p.waitForFinished(timeoutMs)) << args.join(' ').toStdString();
        Result r{p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
                 QString::fromUtf8(p.readAllStandardOutput()), QString::fromUtf8(p.readAllStandardError())};
#ifdef _WIN32
        // Text on Windows ends its lines with CR LF.
        r.out.remove(QLatin1Char('\r'));
        r.err.remove(QLatin1Char('\r'));
#endif
        return r;
    }

    QTemporaryDir config;
    relvix::sim::SimServer sim;
};

} // namespace
