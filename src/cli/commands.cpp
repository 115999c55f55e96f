#include "cli/commands.h"

#include "link/commandtext.h"
#include "link/frameevent.h"
#include "link/serialmode.h"
#include "reader/valuetext.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSerialPortInfo>

#include <cmath>
#include <functional>

namespace relvix::cli {

QStringList defaultScanModes()
{
    return {"9600,e,8,1", "19200,e,8,1", "38400,e,8,1", "57600,e,8,1", "115200,e,8,1"};
}

int defaultScanTimeoutMs(qint32 baud)
{
    // An 8-byte request and a 7-byte answer, against their time at 9600 baud, which the 60 ms
    // already cover.
    const std::int64_t extraUs = baud > 0 ? WireTimeUs(15, baud) - WireTimeUs(15, 9600) : 0;
    return kDefaultScanTimeoutMs + static_cast<int>((std::max<std::int64_t>(extraUs, 0) + 999) / 1000);
}

namespace {

constexpr int kAddressTries = 3;
constexpr int kRetryPauseMs = 100;

QString serialText(const Identity &id)
{
    return QString::asprintf("%08X", unsigned(id.serialNumber));
}

QString versionText(const Identity &id)
{
    return QString::asprintf("%04X", unsigned(id.version));
}

QString blockHex(const DataBlock &block)
{
    return HexBytes(QByteArrayView(block.data(), qsizetype(block.size())));
}

bool allZero(const DataBlock &block)
{
    return std::all_of(block.begin(), block.end(), [](std::uint8_t b) { return b == 0; });
}

QString now()
{
    return QDateTime::currentDateTime().toString(Qt::ISODateWithMs);
}

int refuseWithoutConsent(const Options &options, const QString &question, const QString &what)
{
    switch (confirm(options, question)) {
    case Consent::Yes:
        return -1;
    case Consent::No:
        err(QStringLiteral("%1: not confirmed; nothing was sent").arg(what));
        return Interrupted;
    case Consent::NeedYes:
        err(QStringLiteral("%1 changes the reader: give --yes when not on a terminal; nothing was sent").arg(what));
        return Usage;
    }
    return Usage;
}

// Reads the address register at `address` up to three times, 100 ms apart.
std::optional<std::uint8_t> findReader(Session &session, std::uint16_t address)
{
    for (int attempt = 1; attempt <= kAddressTries; ++attempt) {
        if (attempt > 1 && !pauseMs(kRetryPauseMs))
            return std::nullopt;
        if (const auto found = session.reader().readAddress(address))
            return found;
        if (interrupted())
            return std::nullopt;
    }
    return std::nullopt;
}

QJsonObject identityJson(int address, const std::optional<Identity> &id)
{
    QJsonObject o{{"address", address}};
    if (id) {
        o.insert("serial", serialText(*id));
        o.insert("version", versionText(*id));
    }
    return o;
}

QString uidText(const Options &o, const DataBlock &block, int format)
{
    return UidText(block, format, o.lsb);
}

QJsonObject cardJson(const Options &o, const DataBlock &block)
{
    QJsonObject card{{"bytes", blockHex(block)}};
    if (o.allFormats) {
        QJsonObject formats;
        for (int i = 0; i < kUidFormatCount; ++i)
            formats.insert(QString::fromLatin1(kUidFormats[i].name), uidText(o, block, i));
        card.insert("formats", formats);
    } else {
        card.insert("format", QString::fromLatin1(kUidFormats[o.format].name));
        card.insert("uid", uidText(o, block, o.format));
    }
    card.insert("lsb", o.lsb);
    return card;
}

// "uid 0305419896" for a read ("card ..." for a watch event), or one line per format.
QStringList cardLines(const Options &o, const DataBlock &block, const QString &word = QStringLiteral("uid"))
{
    if (!o.allFormats)
        return {QStringLiteral("%1 %2").arg(word, uidText(o, block, o.format))};
    QStringList lines;
    for (int i = 0; i < kUidFormatCount; ++i)
        lines << QStringLiteral("%1 %2 %3")
                     .arg(word, QString::fromLatin1(kUidFormats[i].name).leftJustified(6), uidText(o, block, i));
    return lines;
}

QJsonObject keysJson(const Options &o, const DataBlock &block)
{
    return {{"keys", KeypadText(block, o.keyHex)}, {"bytes", blockHex(block)}};
}

QJsonObject ioJson(const IoState &io)
{
    return {{"inputs", RegisterText(io.inputs)},
            {"inputBits", bitsText(io.inputs)},
            {"outputs", RegisterText(io.outputs)},
            {"outputBits", bitsText(io.outputs)}};
}

void printIo(const Options &o, const IoState &io)
{
    if (o.json) {
        outJson(ioJson(io));
        return;
    }
    out(QStringLiteral("DI %1 %2").arg(RegisterText(io.inputs), bitsText(io.inputs)));
    out(QStringLiteral("DO %1 %2").arg(RegisterText(io.outputs), bitsText(io.outputs)));
}

} // namespace

// ---- ports -------------------------------------------------------------------------------

int runPorts(const Options &o)
{
    // Lists what the system reports; no port is opened.
    QMap<QString, QString> byId; // device path -> /dev/serial/by-id name
    const QDir idDir(QStringLiteral("/dev/serial/by-id"));
    for (const QFileInfo &link : idDir.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot))
        byId.insert(link.canonicalFilePath(), link.absoluteFilePath());

    QJsonArray ports;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        QJsonObject p{{"name", info.portName()},
                      {"path", info.systemLocation()},
                      {"description", info.description()},
                      {"manufacturer", info.manufacturer()},
                      {"serialNumber", info.serialNumber()},
                      {"byId", byId.value(QFileInfo(info.systemLocation()).canonicalFilePath())}};
        p.insert("vendorId",
                 info.hasVendorIdentifier() ? QString::asprintf("%04x", info.vendorIdentifier()) : QString());
        p.insert("productId",
                 info.hasProductIdentifier() ? QString::asprintf("%04x", info.productIdentifier()) : QString());
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
        return LinkFailed;
    const auto address = findReader(session, session.address());
    if (interrupted())
        return Interrupted;
    if (!address) {
        err(QStringLiteral("no answer at address %1 in %2 tries").arg(o.address).arg(kAddressTries));
        return NoAnswer;
    }
    // The identity is read where the reader says it is, as the window does.
    const auto identity = session.reader().readIdentity(*address);
    if (o.json) {
        outJson(identityJson(*address, identity));
    } else {
        out(QStringLiteral("address %1").arg(*address));
        if (identity) {
            out(QStringLiteral("serial %1").arg(serialText(*identity)));
            out(QStringLiteral("version %1").arg(versionText(*identity)));
        }
    }
    if (!identity) {
        err(QStringLiteral("the reader at %1 did not send its serial number and version").arg(*address));
        return NoAnswer;
    }
    return Done;
}

// ---- scan --------------------------------------------------------------------------------

int runScan(const Options &o)
{
    Session session(o);
    const QStringList modes = o.link.transport == Transport::Tcp ? QStringList{QString()} : o.modes;
    const int perMode = o.to - o.from + 1;
    const int total = perMode * int(modes.size());
    const bool progress = stderrIsTerminal();
    int done = 0, found = 0;
    QElapsedTimer clock;
    clock.start();

    for (const QString &mode : modes) {
        if (interrupted())
            break;
        if (!session.open(mode))
            return LinkFailed;
        const int scanTimeoutMs = o.scanTimeoutMs > 0 ? o.scanTimeoutMs
                                  : mode.isEmpty()    ? kDefaultScanTimeoutMs
                                                   : defaultScanTimeoutMs(ParseSerialMode(mode).baudRate.value_or(0));
        for (int address = o.from; address <= o.to && !interrupted(); ++address) {
            if (progress) {
                const int width = 30, filled = width * done / std::max(total, 1);
                std::fprintf(stderr, "\r[%s%s] %d/%d %s found %d", QByteArray(filled, '#').constData(),
                             QByteArray(width - filled, '.').constData(), done, total,
                             (mode.isEmpty() ? o.link.describe() : mode).toLocal8Bit().constData(), found);
                std::fflush(stderr);
            }
            session.link().state.receiveTimeout = scanTimeoutMs;
            const auto answer = session.reader().readAddress(static_cast<std::uint16_t>(address));
            ++done;
            if (!answer)
                continue;
            session.link().state.receiveTimeout = o.timeoutMs;
            const auto identity = session.reader().readIdentity(static_cast<std::uint16_t>(address));
            ++found;
            if (progress)
                std::fputs("\r\033[K", stderr);
            QJsonObject hit = identityJson(address, identity);
            if (!mode.isEmpty())
                hit.insert("mode", mode);
            if (o.json) {
                outJson(hit);
            } else {
                out(QStringLiteral("%1address %2  serial %3  version %4")
                        .arg(mode.isEmpty() ? QString() : QStringLiteral("mode %1  ").arg(mode),
                             QString::number(address), identity ? serialText(*identity) : QStringLiteral("?"),
                             identity ? versionText(*identity) : QStringLiteral("?")));
            }
        }
        session.close();
    }
    if (progress)
        std::fputs("\r\033[K", stderr);
    err(QStringLiteral("%1 %2 of %3 addresses in %4 s, found %5")
            .arg(interrupted() ? QStringLiteral("interrupted after") : QStringLiteral("scanned"), QString::number(done),
                 QString::number(total), QString::number(double(clock.elapsed()) / 1000.0, 'f', 1),
                 QString::number(found)));
    if (interrupted())
        return Interrupted;
    return found > 0 ? Done : NoAnswer;
}

// ---- card --------------------------------------------------------------------------------

namespace {

int watchCards(const Options &o, Session &session)
{
    CardReader &reader = session.reader();
    const std::uint16_t address = session.address();
    // The blocks hold the last card and code the reader saw, from before the watch too: that
    // is where it starts from, not an event.
    if (o.clear) {
        reader.clearCardBlock(address);
        reader.clearKeypadBlock(address);
    }
    std::optional<DataBlock> lastCard, lastKeys;
    int events = 0;
    bool answering = true;
    QElapsedTimer elapsed;
    elapsed.start();
    bool first = true;
    const auto timeUp = [&] {
        return (o.count > 0 && events >= o.count) ||
               (o.forSeconds > 0 && double(elapsed.elapsed()) >= o.forSeconds * 1000);
    };
    while (!timeUp()) {
        if (!first && !pauseMs(o.intervalMs))
            break;
        const auto card = reader.readCardBlock(address);
        const auto keys = reader.readKeypadBlock(address);
        if (interrupted())
            break;
        if ((card || keys) != answering) {
            answering = card || keys;
            err(answering ? QStringLiteral("the reader answers again") : QStringLiteral("the reader does not answer"));
        }
        const auto consider = [&](const std::optional<DataBlock> &block, std::optional<DataBlock> &last, bool isCard) {
            if (!block)
                return;
            const bool isNew = !first && !allZero(*block) && (!last || *last != *block);
            last = block;
            if (!isNew || timeUp())
                return;
            ++events;
            if (o.json) {
                QJsonObject e = isCard ? cardJson(o, *block) : keysJson(o, *block);
                e.insert("time", now());
                e.insert("event", isCard ? "card" : "keys");
                outJson(e);
            } else {
                const QStringList lines =
                    isCard ? cardLines(o, *block, QStringLiteral("card"))
                           : QStringList{QStringLiteral("keys %1").arg(KeypadText(*block, o.keyHex))};
                for (const QString &line : lines)
                    out(now() + QLatin1Char(' ') + line);
            }
            if (o.clear) {
                (isCard ? reader.clearCardBlock(address) : reader.clearKeypadBlock(address));
                last = DataBlock{};
            }
        };
        consider(card, lastCard, true);
        consider(keys, lastKeys, false);
        first = false;
    }
    return interrupted() ? Interrupted : Done;
}

} // namespace

int runCard(const Options &o)
{
    Session session(o);
    if (!session.open())
        return LinkFailed;
    if (o.watch)
        return watchCards(o, session);
    const auto card = session.reader().readCardBlock(session.address());
    const auto keys = session.reader().readKeypadBlock(session.address());
    if (interrupted())
        return Interrupted;
    if (o.json) {
        QJsonObject result;
        if (card)
            result.insert("card", cardJson(o, *card));
        if (keys)
            result.insert("keypad", keysJson(o, *keys));
        outJson(result);
    } else {
        if (card)
            for (const QString &line : cardLines(o, *card))
                out(line);
        if (keys)
            out(QStringLiteral("keys %1").arg(KeypadText(*keys, o.keyHex)));
    }
    if (!card || !keys) {
        err(QStringLiteral("the reader at %1 did not send its %2")
                .arg(o.address)
                .arg(!card ? QStringLiteral("card block") : QStringLiteral("keypad block")));
        return NoAnswer;
    }
    return Done;
}

// ---- clear, io, set-do -------------------------------------------------------------------

int runClear(const Options &o)
{
    Session session(o);
    if (!session.open())
        return LinkFailed;
    const bool card = session.reader().clearCardBlock(session.address());
    const bool keys = session.reader().clearKeypadBlock(session.address());
    if (o.json)
        outJson({{"cardCleared", card}, {"keypadCleared", keys}});
    else
        out(QStringLiteral("card block %1, keypad block %2")
                .arg(card ? QStringLiteral("cleared") : QStringLiteral("NOT cleared"),
                     keys ? QStringLiteral("cleared") : QStringLiteral("NOT cleared")));
    return card && keys ? Done : NoAnswer;
}

int runIo(const Options &o)
{
    Session session(o);
    if (!session.open())
        return LinkFailed;
    const auto io = session.reader().readIo(session.address());
    if (!io) {
        err(QStringLiteral("the reader at %1 did not send its inputs and outputs").arg(o.address));
        return NoAnswer;
    }
    printIo(o, *io);
    return Done;
}

int runSetDo(const Options &o)
{
    const auto value = StrictHexNumber(o.arguments.value(0), 4);
    if (!value) {
        err(QStringLiteral("bad outputs '%1': expected one to four hex digits").arg(o.arguments.value(0)));
        return Usage;
    }
    const auto outputs = static_cast<std::uint16_t>(*value);
    if (const int refused =
            refuseWithoutConsent(o,
                                 QStringLiteral("Set the outputs of the reader at %1 (%2) to %3?")
                                     .arg(QString::number(o.address), o.link.describe(), RegisterText(outputs)),
                                 QStringLiteral("set-do"));
        refused >= 0)
        return refused;
    Session session(o);
    if (!session.open())
        return LinkFailed;
    const bool written = session.reader().writeOutputs(session.address(), outputs);
    const auto io = session.reader().readIo(session.address());
    if (io)
        printIo(o, *io);
    if (!io) {
        err(QStringLiteral("the outputs could not be read back%1")
                .arg(written ? QString() : QStringLiteral(" (and the write was not echoed)")));
        return NoAnswer;
    }
    if (io->outputs != outputs) {
        err(QStringLiteral("verification failed: the outputs read %1, not %2")
                .arg(RegisterText(io->outputs), RegisterText(outputs)));
        return VerifyFailed;
    }
    return Done;
}

// ---- set-address -------------------------------------------------------------------------

int runSetAddress(const Options &o)
{
    bool ok = false;
    const QString text = o.arguments.value(0);
    const int newAddress = text.toInt(&ok, 10);
    if (!ok || newAddress < 1 || newAddress > 254 || text != QString::number(newAddress)) {
        err(QStringLiteral("bad address '%1': expected a whole number from 1 to 254").arg(text));
        return Usage;
    }
    if (const int refused =
            refuseWithoutConsent(o,
                                 QStringLiteral("Change the address of the reader at %1 (%2) to %3?")
                                     .arg(QString::number(o.address), o.link.describe(), QString::number(newAddress)),
                                 QStringLiteral("set-address"));
        refused >= 0)
        return refused;
    Session session(o);
    if (!session.open())
        return LinkFailed;
    const bool echoed = session.reader().writeAddress(session.address(), static_cast<std::uint8_t>(newAddress));
    // The proof is the reader answering at the new address with that address.
    const auto answer = findReader(session, static_cast<std::uint16_t>(newAddress));
    const bool verified = answer && *answer == newAddress;
    if (o.json)
        outJson({{"from", o.address}, {"to", newAddress}, {"echoed", echoed}, {"verified", verified}});
    else
        out(QStringLiteral("address %1 -> %2: %3")
                .arg(QString::number(o.address), QString::number(newAddress),
                     verified ? QStringLiteral("verified") : QStringLiteral("NOT verified")));
    if (!verified) {
        err(answer ? QStringLiteral("verification failed: the reader at %1 reports address %2")
                         .arg(newAddress)
                         .arg(*answer)
                   : QStringLiteral("verification failed: no answer at address %1%2")
                         .arg(QString::number(newAddress),
                              echoed ? QString() : QStringLiteral(" (the write was not echoed either)")));
        return VerifyFailed;
    }
    return Done;
}

// ---- reboot, factory-reset ---------------------------------------------------------------

int runReboot(const Options &o)
{
    const bool factory = o.command == QLatin1String("factory-reset");
    const QString what = factory ? QStringLiteral("Return the reader at %1 (%2) to its factory settings?")
                                 : QStringLiteral("Restart the reader at %1 (%2)?");
    if (const int refused = refuseWithoutConsent(o, what.arg(QString::number(o.address), o.link.describe()), o.command);
        refused >= 0)
        return refused;
    Session session(o);
    if (!session.open())
        return LinkFailed;
    CardReader &reader = session.reader();
    const bool echoed = factory ? reader.factoryReset(session.address()) : reader.reboot(session.address());
    if (!o.wait) {
        if (o.json)
            outJson({{"command", o.command}, {"echoed", echoed}});
        else
            out(QStringLiteral("%1 %2").arg(o.command, echoed ? QStringLiteral("sent and echoed")
                                                              : QStringLiteral("sent, NOT echoed")));
        return echoed ? Done : NoAnswer;
    }
    // Factory settings may put the reader back at address 1: ask there first. Short
    // time-outs while waiting, so the time to ready is not rounded up to a whole one.
    QList<std::uint16_t> addresses{session.address()};
    if (factory && session.address() != 1)
        addresses.prepend(1);
    session.link().state.receiveTimeout = std::min(o.timeoutMs, 200);
    QElapsedTimer waited;
    waited.start();
    std::optional<std::uint16_t> readyAt;
    while (!readyAt && !interrupted() && waited.elapsed() < qint64(o.waitTimeoutS) * 1000) {
        for (std::uint16_t a : addresses)
            if (reader.readAddress(a)) {
                readyAt = a;
                break;
            }
        if (!readyAt)
            pauseMs(kRetryPauseMs);
    }
    if (interrupted())
        return Interrupted;
    const qint64 ms = waited.elapsed();
    if (o.json) {
        QJsonObject r{{"command", o.command}, {"echoed", echoed}, {"ready", bool(readyAt)}, {"readyMs", ms}};
        if (readyAt)
            r.insert("address", *readyAt);
        outJson(r);
    } else if (readyAt) {
        out(QStringLiteral("%1: ready after %2 ms at address %3")
                .arg(o.command, QString::number(ms), QString::number(*readyAt)));
    }
    if (!readyAt) {
        err(QStringLiteral("%1: no answer within %2 s").arg(o.command).arg(o.waitTimeoutS));
        return NoAnswer;
    }
    return Done;
}

// ---- raw ---------------------------------------------------------------------------------

int runRaw(const Options &o)
{
    // The window's command text absorbs what it cannot read; a script deserves to hear of it.
    const QString functionText = o.arguments.value(0);
    const QString dataText = o.arguments.value(1);
    if (!StrictHexNumber(functionText, 2)) {
        err(QStringLiteral("bad FUNCTION '%1': expected one or two hex digits").arg(functionText));
        return Usage;
    }
    if (!StrictHexBytes(dataText) || dataText.size() > 2 * 1496) {
        err(QStringLiteral("bad DATA '%1': expected pairs of hex digits (at most 1496 bytes), no blanks or prefix")
                .arg(dataText));
        return Usage;
    }
    Session session(o);
    if (!session.open())
        return LinkFailed;
    const bool ok = session.reader().rawRequest(session.address(), CommandFunctionCode(functionText),
                                                CommandDataBytes(dataText), o.expect);
    const QString tx = session.link().state.transmitText.trimmed();
    const QString rx = ok ? session.link().state.receiveText.trimmed() : QString();
    if (o.json)
        outJson({{"tx", tx}, {"rx", rx}, {"accepted", ok}});
    else {
        out(QStringLiteral("TX %1").arg(tx));
        if (ok)
            out(QStringLiteral("RX %1").arg(rx));
    }
    if (!ok) {
        const QByteArray partial = session.reader().response();
        err(partial.isEmpty() ? QStringLiteral("no response accepted")
                              : QStringLiteral("no response accepted; received %1").arg(HexBytes(partial, ' ')));
        return NoAnswer;
    }
    return Done;
}

// ---- selftest ----------------------------------------------------------------------------

namespace {

// Collects the frames of the step that runs, timed from the start of the self-test.
class StepFrames final : public FrameObserver {
public:
    void frameEvent(const FrameEvent &e) override
    {
        if (e.kind != FrameEvent::Kind::Request && e.kind != FrameEvent::Kind::Response &&
            e.kind != FrameEvent::Kind::NoResponse)
            return;
        if (!started_) {
            started_ = true;
            base_ = e.timeMs;
        }
        QJsonObject f{{"ms", qint64(e.timeMs - base_)},
                      {"dir", frameEventTag(e.kind)},
                      {"slave", e.slave},
                      {"bytes", HexBytes(e.bytes, ' ')}};
        if (!e.detail.isEmpty())
            f.insert("outcome", e.detail);
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

} // namespace

int runSelftest(const Options &o)
{
    Session session(o);
    const QString started = now();
    if (!session.open())
        return LinkFailed;
    CardReader &reader = session.reader();
    StepFrames recorder;
    session.link().addObserver(&recorder);
    QJsonArray stepsJson;
    QList<Step> steps;
    std::uint16_t address = session.address();

    const auto step = [&](const QString &name, const std::function<Step()> &body) {
        if (interrupted())
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
        const auto found = findReader(session, address);
        if (!found)
            return Step{{}, false, false, QStringLiteral("no answer at address %1").arg(address)};
        address = *found;
        const auto id = reader.readIdentity(address);
        if (!id)
            return Step{{}, false, false, QStringLiteral("address %1, no serial number and version").arg(address)};
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
                  : Step{{}, false, false, QStringLiteral("no answer")};
    });
    step(QStringLiteral("read card block"), [&] {
        const auto card = reader.readCardBlock(address);
        return card ? Step{{}, true, false, QStringLiteral("UID %1").arg(UidText(*card, o.format, o.lsb))}
                    : Step{{}, false, false, QStringLiteral("no answer")};
    });
    step(QStringLiteral("read keypad block"), [&] {
        const auto keys = reader.readKeypadBlock(address);
        return keys ? Step{{}, true, false, QStringLiteral("keys '%1'").arg(KeypadText(*keys, false))}
                    : Step{{}, false, false, QStringLiteral("no answer")};
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
        if (io)
            step(QStringLiteral("restore outputs"), [&] { return writeAndCheck(io->outputs); });
        else
            step(QStringLiteral("restore outputs"), [&] {
                return Step{{}, false, false, QStringLiteral("old value unknown: read I/O failed")};
            });
    }
    session.link().removeObserver(&recorder);
    session.close();

    const bool passed =
        !interrupted() && std::all_of(steps.begin(), steps.end(), [](const Step &s) { return s.passed; });
    const QJsonObject report{{"tool", QStringLiteral("relvix-cli")},
                             {"started", started},
                             {"link", o.link.describe()},
                             {"address", o.address},
                             {"passed", passed},
                             {"interrupted", interrupted()},
                             {"steps", stepsJson}};
    if (!o.reportPath.isEmpty()) {
        QFile file(o.reportPath);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(QJsonDocument(report).toJson()) < 0) {
            err(QStringLiteral("cannot write the report %1: %2").arg(o.reportPath, file.errorString()));
            return NoAnswer;
        }
    }
    if (o.json) {
        outJson(report);
    } else {
        out(QStringLiteral("%1 %2 %3  %4")
                .arg(QStringLiteral("step").leftJustified(18), QStringLiteral("result"), QStringLiteral("     time"),
                     QStringLiteral("detail")));
        for (int i = 0; i < steps.size(); ++i) {
            const QJsonObject s = stepsJson[i].toObject();
            out(QStringLiteral("%1 %2 %3  %4")
                    .arg(steps[i].name.leftJustified(18),
                         (steps[i].passed ? QStringLiteral("pass") : QStringLiteral("FAIL")).leftJustified(6),
                         QStringLiteral("%1 ms").arg(s["ms"].toDouble(), 0, 'f', 1).rightJustified(9),
                         steps[i].detail));
        }
        out(passed ? QStringLiteral("selftest PASSED") : QStringLiteral("selftest FAILED"));
    }
    if (interrupted())
        return Interrupted;
    if (passed)
        return Done;
    const bool verification = std::any_of(steps.begin(), steps.end(), [](const Step &s) { return s.verification; });
    return verification ? VerifyFailed : NoAnswer;
}

} // namespace relvix::cli
