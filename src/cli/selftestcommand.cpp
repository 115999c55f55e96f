// selftest: the reader checked step by step, with a report.
#include "cli/commands.h"
#include "cli/commandsupport.h"

#include "link/commandtext.h"
#include "link/frameevent.h"
#include "link/portlist.h"
#include "link/serialmode.h"
#include "reader/busscan.h"
#include "reader/valuetext.h"
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <cmath>
#include <functional>

namespace relvix::cli {

namespace {

// Collects the frames of the step that runs, timed from the start of the self-test.
class StepFrames final : public FrameObserver {
public:
    void frameEvent(const FrameEvent &e) override
    {
        if (e.kind != FrameEvent::Kind::Request && e.kind != FrameEvent::Kind::Response &&
            e.kind != FrameEvent::Kind::NoResponse && e.kind != FrameEvent::Kind::Dropped)
            return;
        if (!started_) {
            started_ = true;
            base_ = e.timeMs;
        }
        QJsonObject f{{"ms", qint64(e.timeMs - base_)},
                      {"dir", frameEventTag(e.kind)},
                      {"slave", e.slave},
                      {"bytes", HexBytes(e.bytes, ' ')}};
        if (e.outcome != Outcome::None)
            f.insert("outcome", outcomeName(e.outcome));
        if (e.outcome == Outcome::Exception)
            f.insert("exception", QJsonObject{{"code", e.exceptionCode}, {"name", exceptionName(e.exceptionCode)}});
        if (!e.detail.isEmpty())
            f.insert("detail", e.detail);
        frames.append(f);
    }
    QJsonArray frames;

private:
    bool started_ = false;
    std::uint32_t base_ = 0;
};

struct Step {
    QString name;
    bool passed = false;
    bool verification = false; // failed by a wrong read-back rather than by no answer
    QString detail;
};

// Writes the report to path. A report that is not all on the disk is no report: every write,
// the flush and the close are checked, and a failure is said on standard error.
bool writeReport(const QString &path, const QJsonObject &report)
{
    QFile file(path);
    const QByteArray text = QJsonDocument(report).toJson();
    bool written =
        file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size() && file.flush();
    QString why = file.errorString();
    file.close();
    written = written && file.error() == QFileDevice::NoError;
    if (!written) {
        if (file.error() != QFileDevice::NoError)
            why = file.errorString();
        err(QStringLiteral("cannot write the report %1: %2").arg(path, why));
    }
    return written;
}

// The steps as a table on standard output, with the verdict last.
void printSteps(const QList<Step> &steps, const QJsonArray &stepsJson, bool passed)
{
    out(QStringLiteral("%1 %2 %3  %4")
            .arg(QStringLiteral("step").leftJustified(18), QStringLiteral("result"), QStringLiteral("     time"),
                 QStringLiteral("detail")));
    for (int i = 0; i < steps.size(); ++i) {
        const QJsonObject s = stepsJson[i].toObject();
        out(QStringLiteral("%1 %2 %3  %4")
                .arg(steps[i].name.leftJustified(18),
                     (steps[i].passed ? QStringLiteral("pass") : QStringLiteral("FAIL")).leftJustified(6),
                     QStringLiteral("%1 ms").arg(s["ms"].toDouble(), 0, 'f', 1).rightJustified(9), steps[i].detail));
    }
    out(passed ? QStringLiteral("selftest PASSED") : QStringLiteral("selftest FAILED"));
}

} // namespace

int runSelftest(const Options &o)
{
    Session session(o);
    const QString started = isoNow();
    if (!session.open())
        return session.openFailed();
    CardReader &reader = session.reader();
    StepFrames recorder;
    session.link().addObserver(&recorder);
    QJsonArray stepsJson;
    QList<Step> steps;
    std::uint16_t address = session.address();

    // The outputs are put back even after a stop signal, once the pattern went out.
    const auto step = [&](const QString &name, const std::function<Step()> &body, bool evenAfterSignal = false) {
        if ((shouldStop() && !(evenAfterSignal && interrupted() && !outputFailed())) || linkLost(session))
            return;
        recorder.frames = QJsonArray();
        QElapsedTimer t;
        t.start();
        Step s = body();
        s.name = name;
        const double ms = std::round(double(t.nsecsElapsed()) / 1e5) / 10; // 0.1 ms
        steps << s;
        stepsJson.append(QJsonObject{
            {"name", name}, {"passed", s.passed}, {"ms", ms}, {"detail", s.detail}, {"frames", recorder.frames}});
    };

    step(QStringLiteral("identify"), [&] {
        int tries = 0;
        const auto found = findReader(session, address, &tries);
        if (!found)
            return Step{{},
                        false,
                        false,
                        QStringLiteral("no answer at address %1 in %2: %3")
                            .arg(QString::number(address), triesText(tries), outcomeLine(reader.lastResult()))};
        address = *found;
        const auto id = reader.readIdentity(address);
        if (!id)
            return Step{{},
                        false,
                        false,
                        QStringLiteral("address %1, no serial number and version: %2")
                            .arg(QString::number(address), outcomeLine(reader.lastResult()))};
        return Step{{},
                    true,
                    false,
                    QStringLiteral("address %1, S/N %2, version %3")
                        .arg(QString::number(address), serialText(*id), versionText(*id))};
    });
    std::optional<IoState> io;
    step(QStringLiteral("read I/O"), [&] {
        io = reader.readIo(address);
        return io ? Step{{},
                         true,
                         false,
                         QStringLiteral("DI %1 DO %2").arg(RegisterText(io->inputs), RegisterText(io->outputs))}
                  : Step{{}, false, false, outcomeLine(reader.lastResult())};
    });
    step(QStringLiteral("read card block"), [&] {
        const auto card = reader.readCardBlock(address);
        return card ? Step{{}, true, false, QStringLiteral("UID %1").arg(UidText(*card, o.format, o.lsb))}
                    : Step{{}, false, false, outcomeLine(reader.lastResult())};
    });
    step(QStringLiteral("read keypad block"), [&] {
        const auto keys = reader.readKeypadBlock(address);
        return keys ? Step{{}, true, false, QStringLiteral("keys '%1'").arg(KeypadText(*keys, false))}
                    : Step{{}, false, false, outcomeLine(reader.lastResult())};
    });
    if (o.outputs) {
        const auto writeAndCheck = [&](std::uint16_t value) {
            const bool echoed = reader.writeOutputs(address, value);
            const auto back = reader.readIo(address);
            if (!back)
                return Step{{},
                            false,
                            false,
                            QStringLiteral("wrote %1%2, no read-back")
                                .arg(RegisterText(value), echoed ? QString() : QStringLiteral(" (no echo)"))};
            if (back->outputs != value)
                return Step{
                    {},
                    false,
                    true,
                    QStringLiteral("wrote %1, read back %2").arg(RegisterText(value), RegisterText(back->outputs))};
            return Step{{}, true, false, QStringLiteral("wrote and read back %1").arg(RegisterText(value))};
        };
        step(QStringLiteral("write outputs"), [&] { return writeAndCheck(o.pattern); });
        const bool patternSent = !steps.isEmpty() && steps.constLast().name == QLatin1String("write outputs");
        const std::function<Step()> restore = [&] { return writeAndCheck(io->outputs); };
        if (io)
            step(QStringLiteral("restore outputs"), restore, patternSent);
        else
            step(QStringLiteral("restore outputs"), [&] {
                return Step{{}, false, false, QStringLiteral("old value unknown: read I/O failed")};
            });
    }
    session.link().removeObserver(&recorder);
    const bool lost = linkLost(session);
    session.close();

    const bool passed =
        !interrupted() && !lost && std::all_of(steps.begin(), steps.end(), [](const Step &s) { return s.passed; });
    const QJsonObject report{{"tool", QStringLiteral("relvix-cli")},
                             {"started", started},
                             {"link", o.link.describe()},
                             {"address", o.address},
                             {"passed", passed},
                             {"interrupted", interrupted()},
                             {"steps", stepsJson}};
    const bool reportFailed = !o.reportPath.isEmpty() && !writeReport(o.reportPath, report);
    if (o.json)
        outJson(report);
    else
        printSteps(steps, stepsJson, passed);
    if (lost) {
        err(session.lostText());
        return LinkFailed;
    }
    if (interrupted())
        return interruptedExit();
    if (reportFailed || outputFailed())
        return OutputFailed;
    if (passed)
        return Done;
    const bool verification = std::any_of(steps.begin(), steps.end(), [](const Step &s) { return s.verification; });
    return verification ? VerifyFailed : NoAnswer;
}

} // namespace relvix::cli
