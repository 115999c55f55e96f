// ports, identify and scan: what is on the line, and who answers where.
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

// ---- ports -------------------------------------------------------------------------------

int runPorts(const Options &o)
{
    // Lists what the system reports; no port is opened.
    QMap<QString, QString> byId; // device path -> /dev/serial/by-id name
    const QDir idDir(QStringLiteral("/dev/serial/by-id"));
    for (const QFileInfo &link : idDir.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot))
        byId.insert(link.canonicalFilePath(), link.absoluteFilePath());

    QJsonArray ports;
    for (const SerialPortDetails &info : systemSerialPortDetails()) {
        QJsonObject p{{"name", info.name},
                      {"path", info.path},
                      {"description", info.description},
                      {"manufacturer", info.manufacturer},
                      {"serialNumber", info.serialNumber},
                      {"byId", byId.value(QFileInfo(info.path).canonicalFilePath())}};
        p.insert("vendorId", info.vendorId ? QString::asprintf("%04x", *info.vendorId) : QString());
        p.insert("productId", info.productId ? QString::asprintf("%04x", *info.productId) : QString());
        ports.append(p);
    }
    if (o.json) {
        outJson({{"ports", ports}});
        return Done;
    }
    if (ports.isEmpty())
        err(QStringLiteral("the system reports no serial ports"));
    for (const QJsonValue &v : ports) {
        const QJsonObject p = v.toObject();
        QStringList parts{p["path"].toString()};
        for (const char *key : {"description", "manufacturer", "serialNumber"})
            if (!p[key].toString().isEmpty())
                parts << QStringLiteral("%1=%2").arg(QString::fromLatin1(key), p[key].toString());
        if (!p["vendorId"].toString().isEmpty())
            parts << QStringLiteral("usb=%1:%2").arg(p["vendorId"].toString(), p["productId"].toString());
        if (!p["byId"].toString().isEmpty())
            parts << QStringLiteral("by-id=%1").arg(p["byId"].toString());
        out(parts.join(QLatin1String("  ")));
    }
    return Done;
}

// ---- identify ----------------------------------------------------------------------------

int runIdentify(const Options &o)
{
    Session session(o);
    if (!session.open())
        return session.openFailed();
    int tries = 0;
    const auto address = findReader(session, session.address(), &tries);
    if (interrupted())
        return interruptedExit();
    if (!address)
        return session.failed(notFound(session, tries));
    // The identity is read where the reader says it is, as the window does.
    const auto identity = session.reader().readIdentity(*address);
    if (!identity)
        return session.failed(
            QStringLiteral("the reader at %1 did not send its serial number and version").arg(*address),
            {{"address", *address}});
    if (o.json) {
        outJson(identityJson(*address, identity));
    } else {
        out(QStringLiteral("address %1").arg(*address));
        out(QStringLiteral("serial %1").arg(serialText(*identity)));
        out(QStringLiteral("version %1").arg(versionText(*identity)));
    }
    return Done;
}

// ---- scan --------------------------------------------------------------------------------

namespace {
// Addresses where more than one reader answered a scan's request: a second answer right
// after the first, or bytes that began as an answer from that address and were garbled.
class TwoReaders final : public FrameObserver {
public:
    void frameEvent(const FrameEvent &e) override
    {
        if (e.kind != FrameEvent::Kind::NoResponse || named_.contains(e.slave))
            return;
        const bool twice = e.outcome == Outcome::AnsweredTwice;
        const bool collided =
            e.outcome == Outcome::Garbled && !e.bytes.isEmpty() && std::uint8_t(e.bytes[0]) == e.slave;
        if (twice || collided)
            named_.insert(e.slave);
    }
    QSet<std::uint8_t> named_;
};
} // namespace

int runScan(const Options &o)
{
    Session session(o);
    TwoReaders twoReaders;
    session.link().addObserver(&twoReaders);
    BusScan scan(session.link());
    ScanSettings settings;
    settings.transport = o.link.transport;
    settings.peerAddress = o.link.peerAddress;
    settings.peerPort = o.link.peerPort;
    settings.portName = o.link.portName;
    settings.modes = o.modes;
    settings.from = o.from;
    settings.to = o.to;
    settings.scanTimeoutMs = o.scanTimeoutMs;
    settings.timeoutMs = o.timeoutMs;

    const bool progress = stderrIsTerminal();
    bool progressShown = false;
    const auto clearProgress = [&] {
        if (progressShown)
            std::fputs("\r\033[K", stderr);
        progressShown = false;
    };
    int found = 0;
    int lateCount = 0, lateTimeout = 0;
    std::uint32_t lateMaxMs = 0;
    scan.stopRequested = [] { return shouldStop(); };
    scan.onProgress = [&](const ScanProgress &p) {
        if (!progress)
            return;
        // The whole line within the terminal's width, so that it never wraps.
        const int columns = std::max(terminalColumns() - 1, 20);
        const QString text = QStringLiteral(" %1/%2 %3 found %4")
                                 .arg(QString::number(p.done), QString::number(p.total),
                                      p.mode.isEmpty() ? o.link.describe() : p.mode, QString::number(found));
        const int width = std::clamp(columns - int(text.size()) - 2, 0, 30);
        const int filled = width * p.done / std::max(p.total, 1);
        QString line =
            width > 0 ? QStringLiteral("[%1%2]").arg(QString(filled, u'#'), QString(width - filled, u'.')) : QString();
        line = (line + text).left(columns);
        std::fprintf(stderr, "\r%s\033[K", line.toLocal8Bit().constData());
        std::fflush(stderr);
        progressShown = true;
    };
    scan.onHit = [&](const ScanHit &hit) {
        ++found;
        clearProgress();
        const int timeout = hit.timeoutMs;
        if (o.json) {
            QJsonObject j = identityJson(hit.address, hit.identity);
            if (!hit.mode.isEmpty())
                j.insert("mode", hit.mode);
            j.insert("responseMs", qint64(hit.responseMs));
            j.insert("late", hit.late);
            j.insert("timeoutMs", hit.timeoutMs);
            outJson(j);
        } else {
            out(QStringLiteral("%1address %2  serial %3  version %4%5")
                    .arg(hit.mode.isEmpty() ? QString() : QStringLiteral("mode %1  ").arg(hit.mode),
                         QString::number(hit.address), hit.identity ? serialText(*hit.identity) : QStringLiteral("?"),
                         hit.identity ? versionText(*hit.identity) : QStringLiteral("?"),
                         hit.late ? QStringLiteral("  late %1 ms").arg(hit.responseMs) : QString()));
        }
        if (hit.late) {
            lateCount += 1;
            lateMaxMs = std::max(lateMaxMs, hit.responseMs);
            lateTimeout = timeout;
        }
    };
    QElapsedTimer clock;
    clock.start();
    const ScanResult result = scan.run(settings);
    session.link().removeObserver(&twoReaders);
    clearProgress();
    QList<std::uint8_t> doubled(twoReaders.named_.begin(), twoReaders.named_.end());
    std::sort(doubled.begin(), doubled.end());
    for (std::uint8_t a : doubled) {
        if (o.json)
            outJson({{"address", a}, {"twoReaders", true}});
        else
            out(QStringLiteral("address %1: two readers answer").arg(a));
    }
    if (result.openFailed) {
        if (!result.openFailedMode.isEmpty())
            err(QStringLiteral("in mode %1").arg(result.openFailedMode));
        return session.openFailed();
    }
    err(QStringLiteral("%1 %2 of %3 addresses in %4 s, found %5")
            .arg(result.stopped || result.lost ? QStringLiteral("stopped after") : QStringLiteral("scanned"),
                 QString::number(result.done), QString::number(result.total),
                 QString::number(double(clock.elapsed()) / 1000.0, 'f', 1), QString::number(result.found)));
    for (const QString &mode : result.noisyModes)
        err(QStringLiteral("%1: garbled bytes kept coming and re-asking found no sender %2 times: a noisy line? "
                           "Garbled bytes were no longer followed there")
                .arg(mode.isEmpty() ? o.link.describe() : QStringLiteral("mode %1").arg(mode))
                .arg(kNoisySweeps));
    if (lateCount > 0) {
        const std::uint32_t suggested = SuggestedScanTimeoutMs(lateMaxMs);
        err(QStringLiteral("%1 answered later than the scan time-out of %2 ms (at most %3 ms) and %4 found by a "
                           "second look: --scan-timeout-ms %5 finds %6 at once")
                .arg(lateCount == 1 ? QStringLiteral("1 reader") : QStringLiteral("%1 readers").arg(lateCount),
                     QString::number(lateTimeout), QString::number(lateMaxMs),
                     lateCount == 1 ? QStringLiteral("was") : QStringLiteral("were"), QString::number(suggested),
                     lateCount == 1 ? QStringLiteral("it") : QStringLiteral("them")));
    }
    if (result.lost)
        return session.failed(QStringLiteral("scan"), {{"done", result.done}, {"total", result.total}});
    if (result.stopped)
        return stopped();
    return result.found > 0 || !doubled.isEmpty() ? Done : NoAnswer;
}

} // namespace relvix::cli
