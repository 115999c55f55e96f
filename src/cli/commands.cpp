#include "cli/commands.h"

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

std::optional<quint32> registerNumber(const QString &text, quint32 max)
{
    bool ok = false;
    quint32 value = 0;
    if (text.startsWith(QLatin1String("0x")) || text.startsWith(QLatin1String("0X"))) {
        const QString digits = text.mid(2);
        if (digits.isEmpty() || digits.size() > 8 || !StrictHexNumber(digits, 8))
            return std::nullopt;
        value = digits.toUInt(&ok, 16);
    } else {
        if (text.isEmpty() || !std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; }))
            return std::nullopt;
        value = text.toUInt(&ok, 10);
    }
    if (!ok || value > max)
        return std::nullopt;
    return value;
}

namespace {

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

bool linkLost(const Session &session)
{
    const Outcome o = const_cast<Session &>(session).link().lastResult().outcome;
    return o == Outcome::LinkLost || o == Outcome::PeerClosed;
}

// What a stop without a result returns: 128 + the signal (130 for Ctrl+C), 5 for output that
// failed.
int stopped()
{
    return interrupted() ? interruptedExit() : OutputFailed;
}

int refuseWithoutConsent(const Options &options, const QString &question, const QString &what)
{
    switch (confirm(options, question)) {
    case Consent::Yes:
        return -1;
    case Consent::No:
    case Consent::Interrupted:
        err(QStringLiteral("%1: not confirmed; nothing was sent").arg(what));
        if (options.json)
            outError(interruptedExit(), QStringLiteral("%1: not confirmed; nothing was sent").arg(what));
        return interruptedExit();
    case Consent::NeedYes: {
        const QString message =
            QStringLiteral("%1 changes the reader: give --yes when not on a terminal; nothing was sent").arg(what);
        err(message);
        if (options.json)
            outError(Usage, message);
        return Usage;
    }
    }
    return Usage;
}

// Reads the address register at `address`, with --retries more tries 100 ms apart. Silence
// (a gateway's "no reader behind it" too) is tried again; anything else heard is an answer
// of its own: no more tries. `tries` says how many were made.
std::optional<std::uint8_t> findReader(Session &session, std::uint16_t address, int *tries = nullptr)
{
    const int most = 1 + session.options().retries;
    for (int attempt = 1; attempt <= most; ++attempt) {
        if (attempt > 1 && !pauseMs(kRetryPauseMs))
            return std::nullopt;
        if (tries)
            *tries = attempt;
        if (const auto found = session.reader().readAddress(address))
            return found;
        const ExchangeResult &r = session.link().lastResult();
        if (shouldStop() || !NobodyAnswered(r))
            return std::nullopt;
    }
    return std::nullopt;
}

QString triesText(int tries)
{
    return tries == 1 ? QStringLiteral("1 try") : QStringLiteral("%1 tries").arg(tries);
}

// Why findReader found nothing, before its outcome: an exception is an answer, not silence.
QString notFound(Session &session, int tries)
{
    const Options &o = session.options();
    const ExchangeResult &r = session.link().lastResult();
    if (r.outcome == Outcome::AnsweredTwice || r.outcome == Outcome::Garbled)
        return QStringLiteral("address %1: two readers answer").arg(o.address);
    if (r.outcome == Outcome::Exception && IsGatewayException(r.exceptionCode))
        return QStringLiteral("no reader behind the gateway at address %1 in %2")
            .arg(QString::number(o.address), triesText(tries));
    if (r.outcome == Outcome::Exception)
        return QStringLiteral("the reader at address %1 refused the address read").arg(o.address);
    return QStringLiteral("no answer at address %1 in %2").arg(QString::number(o.address), triesText(tries));
}

// A write that a busy reader refused (exception 06) is not tried again: it may be half
// done for all the tool knows.
bool refusedBusy(const ExchangeResult &r)
{
    return r.outcome == Outcome::Exception && r.exceptionCode == 0x06;
}

// A stop signal cuts a writing command short, but the reader's state is still said. The
// read-back after the signal is one try with at most this time-out.
constexpr int kReadBackAfterStopMs = 500;

// Runs the read-back of a write: as usual, or after a stop signal once with a short time-out.
template <typename Read> auto readBack(Session &session, Read read)
{
    if (!interrupted())
        return read();
    const ReaderLink::TimeoutScope shortTimeout(session.link(),
                                                std::min(session.options().timeoutMs, kReadBackAfterStopMs));
    return read();
}

// What a stop signal left the reader in: line ("address 1 -> 7: written, not verified:
// interrupted") on standard output, or with --json as the error object with the fields;
// returns 128 + the signal.
int saidAtStop(const Options &o, const QString &line, QJsonObject fields)
{
    err(QStringLiteral("interrupted by %1").arg(interruptName()));
    fields.insert("interrupted", true);
    fields.insert("signal", interruptName());
    if (o.json)
        outError(interruptedExit(), line, fields);
    else
        out(line);
    return interruptedExit();
}

enum class Left { NotWritten, Written, Verified };

int leftAtStop(const Options &o, const QString &what, Left left, QJsonObject fields = {})
{
    fields.insert("written", left != Left::NotWritten);
    fields.insert("verified", left == Left::Verified);
    const QString state = left == Left::NotWritten ? QStringLiteral("not written")
                          : left == Left::Written  ? QStringLiteral("written, not verified")
                                                   : QStringLiteral("written and verified");
    return saidAtStop(o, QStringLiteral("%1: %2: interrupted").arg(what, state), fields);
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

QString at(const Options &o)
{
    return QStringLiteral("at address %1").arg(o.address);
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

// ---- card --------------------------------------------------------------------------------

namespace {

int watchCards(const Options &o, Session &session)
{
    CardReader &reader = session.reader();
    const std::uint16_t address = session.address();
    err(QStringLiteral("watching the reader at %1 (%2) for new cards and keypad codes every %3 ms; Ctrl+C stops")
            .arg(QString::number(o.address), o.link.describe(), QString::number(o.intervalMs)));
    // The blocks hold the last card and code the reader saw, from before the watch too: the
    // first read of each block is where it starts from, not an event. With --clear both
    // start empty.
    std::optional<DataBlock> lastCard, lastKeys;
    if (o.clear) {
        if (reader.clearCardBlock(address))
            lastCard = DataBlock{};
        if (reader.clearKeypadBlock(address))
            lastKeys = DataBlock{};
    }
    int events = 0;
    bool everAnswered = lastCard || lastKeys;
    bool answering = true;
    QString lastFailure;
    QElapsedTimer elapsed;
    elapsed.start();
    bool first = true;
    const auto timeUp = [&] {
        return (o.count > 0 && events >= o.count) ||
               (o.forSeconds > 0 && double(elapsed.elapsed()) >= o.forSeconds * 1000);
    };
    // With --reconnect a lost link is opened again, after 1 s and then twice as long each
    // time up to 30 s; the blocks seen before stay the baseline, so a card presented while
    // the link was down is reported once it is back, and an old one is not reported again.
    const auto reconnect = [&] {
        const QString why = session.lostText();
        err(QStringLiteral("%1; reconnecting").arg(why));
        if (o.json)
            outJson({{"time", isoNow()}, {"event", "link-lost"}, {"reason", why}});
        session.close();
        int pause = 1000, attempts = 0;
        while (!shouldStop() && !timeUp()) {
            if (!pauseMs(pause))
                return false;
            ++attempts;
            if (session.open()) {
                err(QStringLiteral("the link to %1 is back after %2 attempt(s)")
                        .arg(o.link.describe(), QString::number(attempts)));
                if (o.json)
                    outJson({{"time", isoNow()}, {"event", "link-back"}, {"attempts", attempts}});
                return true;
            }
            pause = std::min(pause * 2, 30000);
        }
        return false;
    };
    while (!timeUp() && (o.reconnect || !linkLost(session))) {
        if (linkLost(session) && !reconnect())
            break;
        if (!first && !pauseMs(o.intervalMs))
            break;
        first = false;
        const auto card = reader.readCardBlock(address);
        const QString cardFailure = card ? QString() : outcomeLine(reader.lastResult());
        const auto keys = linkLost(session) ? std::nullopt : reader.readKeypadBlock(address);
        if (shouldStop())
            break;
        if (linkLost(session)) {
            if (o.reconnect)
                continue;
            break;
        }
        const bool ok = card && keys;
        everAnswered = everAnswered || card || keys;
        QString failure = ok ? QString() : (!card ? cardFailure : outcomeLine(reader.lastResult()));
        if (const auto lateMs = session.lateAnswerMs(static_cast<std::uint8_t>(address)); !ok && lateMs)
            failure += QStringLiteral("; an answer came %1 ms after its request, later than the time-out of %2 ms: "
                                      "raise --timeout-ms")
                           .arg(QString::number(*lateMs), QString::number(o.timeoutMs));
        // Said once for each change: the late answer's time may vary from poll to poll.
        const QString kind = ok ? QString() : failure.section(QLatin1Char(';'), 0, 0);
        if (ok != answering || (!ok && kind != lastFailure)) {
            answering = ok;
            lastFailure = kind;
            err(ok ? QStringLiteral("the reader answers again")
                   : QStringLiteral("the reader does not answer: %1").arg(failure));
        }
        const auto consider = [&](const std::optional<DataBlock> &block, std::optional<DataBlock> &last, bool isCard) {
            if (!block)
                return;
            const bool isNew = last && !allZero(*block) && *last != *block;
            last = block;
            if (!isNew || timeUp())
                return;
            ++events;
            if (o.json) {
                QJsonObject e{{"time", isoNow()}, {"event", isCard ? "card" : "keys"}};
                e.insert(isCard ? "card" : "keypad", isCard ? cardJson(o, *block) : keysJson(o, *block));
                outJson(e);
            } else {
                const QStringList lines =
                    isCard ? cardLines(o, *block, QStringLiteral("card"))
                           : QStringList{QStringLiteral("keys %1").arg(KeypadText(*block, o.keyHex))};
                for (const QString &line : lines)
                    out(isoNow() + QLatin1Char(' ') + line);
            }
            if (o.clear && (isCard ? reader.clearCardBlock(address) : reader.clearKeypadBlock(address)))
                last = DataBlock{};
        };
        consider(card, lastCard, true);
        consider(keys, lastKeys, false);
    }
    if (linkLost(session) || (o.reconnect && !session.link().isOpen()))
        return shouldStop() ? stopped() : session.failed(QStringLiteral("watch"));
    if (shouldStop() && !timeUp())
        return stopped();
    if (!everAnswered)
        return session.failed(QStringLiteral("the reader %1 never answered during the watch").arg(at(o)));
    return outputFailed() ? OutputFailed : Done;
}

} // namespace

int runCard(const Options &o)
{
    Session session(o);
    if (!session.open())
        return session.openFailed();
    if (o.watch)
        return watchCards(o, session);
    const auto card = session.reader().readCardBlock(session.address());
    if (!card)
        return interrupted() ? interruptedExit()
                             : session.failed(QStringLiteral("reading the card block %1").arg(at(o)));
    const auto keys = session.reader().readKeypadBlock(session.address());
    if (!keys)
        return interrupted() ? interruptedExit()
                             : session.failed(QStringLiteral("reading the keypad block %1").arg(at(o)));
    if (o.json) {
        outJson({{"card", cardJson(o, *card)}, {"keypad", keysJson(o, *keys)}});
    } else {
        for (const QString &line : cardLines(o, *card))
            out(line);
        out(QStringLiteral("keys %1").arg(KeypadText(*keys, o.keyHex)));
    }
    return Done;
}

// ---- clear, io, set-do -------------------------------------------------------------------

int runClear(const Options &o)
{
    Session session(o);
    if (!session.open())
        return session.openFailed();
    if (!session.reader().clearCardBlock(session.address()))
        return session.failed(QStringLiteral("clearing the card block %1").arg(at(o)));
    if (interrupted())
        return saidAtStop(o, QStringLiteral("card block cleared, keypad block not cleared: interrupted"),
                          {{"cardCleared", true}, {"keypadCleared", false}});
    if (!session.reader().clearKeypadBlock(session.address()))
        return session.failed(QStringLiteral("clearing the keypad block %1").arg(at(o)), {{"cardCleared", true}});
    if (o.json)
        outJson({{"cardCleared", true}, {"keypadCleared", true}});
    else
        out(QStringLiteral("card block cleared, keypad block cleared"));
    return Done;
}

int runIo(const Options &o)
{
    Session session(o);
    if (!session.open())
        return session.openFailed();
    const auto io = session.reader().readIo(session.address());
    if (!io)
        return session.failed(QStringLiteral("reading the inputs and outputs %1").arg(at(o)));
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
        return session.openFailed();
    if (!session.learnEcho(session.address()))
        return session.failed(QStringLiteral("nothing was written %1").arg(at(o)));
    const QString what = QStringLiteral("outputs <- %1").arg(RegisterText(outputs));
    if (interrupted())
        return leftAtStop(o, what, Left::NotWritten, {{"outputs", RegisterText(outputs)}});
    const bool written = session.reader().writeOutputs(session.address(), outputs);
    const ExchangeResult write = session.link().lastResult();
    if (linkLost(session) || refusedBusy(write))
        return session.failed(QStringLiteral("set-do: the write was refused"));
    const auto io = readBack(session, [&] { return session.reader().readIo(session.address()); });
    if (interrupted() && !linkLost(session)) {
        QJsonObject fields{{"outputs", RegisterText(outputs)}, {"echoed", written}};
        if (io)
            fields.insert("read", ioJson(*io));
        return leftAtStop(o, what, io && io->outputs == outputs ? Left::Verified : Left::Written, fields);
    }
    if (!io) {
        // The reader answered the write (an echo or an exception) but not the read-back: 4.
        const bool answered = written || write.outcome == Outcome::Exception;
        return session.failed(
            QStringLiteral("the outputs could not be read back%1")
                .arg(written ? QString() : QStringLiteral(" (the write: %1)").arg(outcomeLine(write))),
            {}, linkLost(session) ? LinkFailed : (answered ? VerifyFailed : NoAnswer));
    }
    if (io->outputs != outputs) {
        const QString message =
            QStringLiteral("verification failed: the outputs read %1, not %2%3")
                .arg(RegisterText(io->outputs), RegisterText(outputs),
                     written ? QString() : QStringLiteral(" (the write: %1)").arg(outcomeLine(write)));
        err(message);
        if (o.json)
            outError(VerifyFailed, message, ioJson(*io));
        else
            printIo(o, *io);
        return VerifyFailed;
    }
    printIo(o, *io);
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
    if (newAddress == o.address) {
        err(QStringLiteral("the new address %1 is the one given with --address; nothing was sent").arg(newAddress));
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
        return session.openFailed();
    CardReader &reader = session.reader();
    const auto target = static_cast<std::uint16_t>(newAddress);
    // Two readers at one address answer over each other, and a later set-address would move
    // both: whatever answers at the new address stops it. Once it is free, whatever answers
    // there afterwards is the reader that was moved.
    if (!o.force) {
        const auto there = reader.readIdentity(target);
        const ExchangeResult r = reader.lastResult();
        if (there || somethingHeard(r)) {
            const QString who = there ? QStringLiteral("a reader with S/N %1 answers there").arg(serialText(*there))
                                      : QStringLiteral("something answers there: %1").arg(outcomeLine(r));
            const QString message = QStringLiteral("address %1 is taken: %2; nothing was written (--force overrides)")
                                        .arg(QString::number(newAddress), who);
            err(message);
            if (o.json) {
                QJsonObject fields{{"from", o.address}, {"to", newAddress}};
                if (there)
                    fields.insert("serialThere", serialText(*there));
                else {
                    const QJsonObject heard = outcomeJson(r);
                    for (auto it = heard.begin(); it != heard.end(); ++it)
                        fields.insert(it.key(), it.value());
                }
                outError(NoAnswer, message, fields);
            }
            return NoAnswer;
        }
        if (linkLost(session))
            return session.failed(QStringLiteral("set-address"));
    }
    const QString what =
        QStringLiteral("address %1 -> %2").arg(QString::number(o.address), QString::number(newAddress));
    if (interrupted())
        return leftAtStop(o, what, Left::NotWritten, {{"from", o.address}, {"to", newAddress}});
    const bool echoed = reader.writeAddress(session.address(), static_cast<std::uint8_t>(newAddress));
    const ExchangeResult write = reader.lastResult();
    if (linkLost(session) || refusedBusy(write) || (NobodyAnswered(write) && write.outcome != Outcome::Silence))
        return session.failed(QStringLiteral("set-address: the write was refused"));
    // The proof is the reader answering at the new address with that address.
    const auto answer =
        interrupted() ? readBack(session, [&] { return reader.readAddress(target); }) : findReader(session, target);
    if (linkLost(session))
        return session.failed(QStringLiteral("set-address"));
    const bool verified = answer && *answer == newAddress;
    const QJsonObject fields{{"from", o.address}, {"to", newAddress}, {"echoed", echoed}, {"verified", verified}};
    if (interrupted())
        return leftAtStop(o, what, verified ? Left::Verified : Left::Written, fields);
    if (verified) {
        if (o.json)
            outJson(fields);
        else
            out(QStringLiteral("address %1 -> %2: verified")
                    .arg(QString::number(o.address), QString::number(newAddress)));
        return Done;
    }
    QString why = answer ? QStringLiteral("the reader at %1 reports address %2").arg(newAddress).arg(*answer)
                         : QStringLiteral("no answer at address %1 (%2)")
                               .arg(QString::number(newAddress), outcomeLine(reader.lastResult()));
    if (!echoed)
        why += QStringLiteral("; the write: %1").arg(outcomeLine(write));
    // The reader answered the write (an echo or an exception) but is not where it should be: 4.
    const bool answered = echoed || write.outcome == Outcome::Exception || answer;
    const int code = answered ? VerifyFailed : NoAnswer;
    const QString message = QStringLiteral("verification failed: %1").arg(why);
    err(message);
    if (o.json)
        outError(code, message, fields);
    else
        out(QStringLiteral("address %1 -> %2: NOT verified")
                .arg(QString::number(o.address), QString::number(newAddress)));
    return code;
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
        return session.openFailed();
    CardReader &reader = session.reader();
    // Ready means: the same reader answers again, not just any.
    std::optional<Identity> before;
    if (o.wait) {
        before = reader.readIdentity(session.address());
        if (!before)
            return interrupted() ? interruptedExit()
                                 : session.failed(QStringLiteral("reading the serial number %1").arg(at(o)));
    }
    // A reboot cannot be read back: its echo is the check.
    if (interrupted())
        return leftAtStop(o, o.command, Left::NotWritten, {{"command", o.command}});
    const bool echoed = factory ? reader.factoryReset(session.address()) : reader.reboot(session.address());
    const ExchangeResult write = reader.lastResult();
    if (linkLost(session))
        return session.failed(o.command);
    if (interrupted())
        return leftAtStop(o, o.command, echoed ? Left::Verified : Left::Written,
                          {{"command", o.command}, {"echoed", echoed}, {"ready", false}});
    if (!o.wait) {
        if (!echoed)
            return session.failed(QStringLiteral("%1 %2: sent, not echoed").arg(o.command, at(o)));
        if (o.json)
            outJson({{"command", o.command}, {"echoed", true}});
        else
            out(QStringLiteral("%1 sent and echoed").arg(o.command));
        return Done;
    }
    // Factory settings may put the reader back at address 1: ask there first. Short
    // time-outs while waiting, so the time to ready is not rounded up to a whole one.
    QList<std::uint16_t> addresses{session.address()};
    if (factory && session.address() != 1)
        addresses.prepend(1);
    const ReaderLink::TimeoutScope shortTimeout(session.link(), std::min(o.timeoutMs, 200));
    QElapsedTimer waited;
    waited.start();
    std::optional<std::uint16_t> readyAt;
    QString other; // another reader that answered meanwhile
    while (!readyAt && !shouldStop() && !linkLost(session) && waited.elapsed() < qint64(o.waitTimeoutS) * 1000) {
        for (std::uint16_t a : addresses) {
            const auto id = reader.readIdentity(a);
            if (id && id->serialNumber == before->serialNumber) {
                readyAt = a;
                break;
            }
            if (id)
                other = QStringLiteral("a reader with S/N %1 answers at %2").arg(serialText(*id)).arg(a);
        }
        if (!readyAt)
            pauseMs(kRetryPauseMs);
    }
    if (linkLost(session))
        return session.failed(o.command);
    if (interrupted() && !readyAt)
        return leftAtStop(o, o.command, echoed ? Left::Verified : Left::Written,
                          {{"command", o.command}, {"echoed", echoed}, {"ready", false}});
    if (shouldStop() && !readyAt)
        return stopped();
    const qint64 ms = waited.elapsed();
    if (!readyAt) {
        const QString message =
            QStringLiteral("%1: S/N %2 did not answer within %3 s%4%5")
                .arg(o.command, serialText(*before), QString::number(o.waitTimeoutS),
                     other.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(other),
                     echoed ? QString() : QStringLiteral("; the request: %1").arg(outcomeLine(write)));
        err(message);
        if (o.json)
            outError(NoAnswer, message,
                     {{"command", o.command}, {"echoed", echoed}, {"ready", false}, {"readyMs", ms}});
        return NoAnswer;
    }
    if (o.json)
        outJson({{"command", o.command},
                 {"echoed", echoed},
                 {"ready", true},
                 {"readyMs", ms},
                 {"address", *readyAt},
                 {"serial", serialText(*before)}});
    else
        out(QStringLiteral("%1: ready after %2 ms at address %3 (S/N %4)")
                .arg(o.command, QString::number(ms), QString::number(*readyAt), serialText(*before)));
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
        return session.openFailed();
    const bool ok = session.reader().rawRequest(session.address(), CommandFunctionCode(functionText),
                                                CommandDataBytes(dataText), o.expect);
    const QString tx = session.link().state.transmitText.trimmed();
    const ExchangeResult &r = session.link().lastResult();
    // An exception is a frame the reader sent: shown as it came, beside its outcome.
    const QString rx = ok || r.outcome == Outcome::Exception ? HexBytes(session.reader().response(), ' ') : QString();
    if (ok) {
        if (o.json) {
            outJson({{"tx", tx}, {"rx", rx}, {"accepted", true}, {"responseMs", qint64(r.responseMs)}});
        } else {
            out(QStringLiteral("TX %1").arg(tx));
            out(QStringLiteral("RX %1").arg(rx));
        }
        return Done;
    }
    if (!o.json) {
        out(QStringLiteral("TX %1").arg(tx));
        if (!rx.isEmpty())
            out(QStringLiteral("RX %1").arg(rx));
    }
    const QByteArray partial = session.reader().response();
    QJsonObject fields{{"tx", tx}, {"rx", rx}, {"accepted", false}};
    if (rx.isEmpty() && !partial.isEmpty())
        fields.insert("received", HexBytes(partial, ' '));
    return session.failed(rx.isEmpty() && !partial.isEmpty()
                              ? QStringLiteral("no response accepted (received %1)").arg(HexBytes(partial, ' '))
                              : QStringLiteral("no response accepted"),
                          fields);
}

// ---- read, write -------------------------------------------------------------------------

int runRead(const Options &o)
{
    const auto first = registerNumber(o.arguments.value(0), 0xFFFF);
    const auto count = o.arguments.size() > 1 ? registerNumber(o.arguments.value(1), 125) : std::optional<quint32>(1);
    if (!first) {
        err(QStringLiteral("bad REGISTER '%1': expected 0 to 65535, decimal or 0x hex").arg(o.arguments.value(0)));
        return Usage;
    }
    if (!count || *count < 1) {
        err(QStringLiteral("bad COUNT '%1': expected 1 to 125").arg(o.arguments.value(1)));
        return Usage;
    }
    if (*first + *count > 0x10000) {
        err(QStringLiteral("bad COUNT %1: registers end at 65535").arg(*count));
        return Usage;
    }
    Session session(o);
    if (!session.open())
        return session.openFailed();
    const auto values = session.reader().readHolding(session.address(), static_cast<std::uint16_t>(*first),
                                                     static_cast<std::uint16_t>(*count));
    if (!values)
        return session.failed(
            QStringLiteral("reading %1 register(s) from 0x%2 %3")
                .arg(QString::number(*count), RegisterText(static_cast<std::uint16_t>(*first)), at(o)));
    if (o.json) {
        QJsonArray numbers, hex;
        for (std::uint16_t v : *values) {
            numbers.append(v);
            hex.append(RegisterText(v));
        }
        outJson({{"address", o.address}, {"register", qint64(*first)}, {"values", numbers}, {"hex", hex}});
    } else {
        for (int i = 0; i < values->size(); ++i)
            out(QStringLiteral("0x%1  0x%2  %3")
                    .arg(RegisterText(static_cast<std::uint16_t>(*first + quint32(i))), RegisterText(values->at(i)),
                         QString::number(values->at(i))));
    }
    return Done;
}

int runWrite(const Options &o)
{
    const auto reg = registerNumber(o.arguments.value(0), 0xFFFF);
    const auto value = registerNumber(o.arguments.value(1), 0xFFFF);
    if (!reg || !value) {
        err(QStringLiteral("bad %1 '%2': expected 0 to 65535, decimal or 0x hex")
                .arg(reg ? QStringLiteral("VALUE") : QStringLiteral("REGISTER"), o.arguments.value(reg ? 1 : 0)));
        return Usage;
    }
    const auto r16 = static_cast<std::uint16_t>(*reg), v16 = static_cast<std::uint16_t>(*value);
    if (const int refused = refuseWithoutConsent(
            o,
            QStringLiteral("Write 0x%1 to register 0x%2 of the reader at %3 (%4)?")
                .arg(RegisterText(v16), RegisterText(r16), QString::number(o.address), o.link.describe()),
            QStringLiteral("write"));
        refused >= 0)
        return refused;
    Session session(o);
    if (!session.open())
        return session.openFailed();
    if (!session.learnEcho(session.address()))
        return session.failed(QStringLiteral("nothing was written %1").arg(at(o)));
    const QString what =
        QStringLiteral("0x%1 <- 0x%2 (%3)").arg(RegisterText(r16), RegisterText(v16), QString::number(v16));
    const QJsonObject fields{{"address", o.address}, {"register", r16}, {"value", v16}};
    if (interrupted())
        return leftAtStop(o, what, Left::NotWritten, fields);
    const bool echoed = session.reader().writeHolding(session.address(), r16, v16);
    // The echo is the check; without it, after a stop signal, a read of the register may tell.
    if (interrupted() && !linkLost(session) && session.link().lastResult().outcome != Outcome::Exception) {
        QJsonObject state = fields;
        state.insert("echoed", echoed);
        const auto back =
            echoed ? std::nullopt
                   : readBack(session, [&] { return session.reader().readHolding(session.address(), r16, 1); });
        const bool readAsWritten = back && back->size() == 1 && back->at(0) == v16;
        return leftAtStop(o, what, echoed || readAsWritten ? Left::Verified : Left::Written, state);
    }
    if (!echoed)
        return session.failed(
            QStringLiteral("writing 0x%1 to register 0x%2 %3").arg(RegisterText(v16), RegisterText(r16), at(o)));
    if (o.json)
        outJson({{"address", o.address}, {"register", r16}, {"value", v16}, {"echoed", true}});
    else
        out(QStringLiteral("0x%1 <- 0x%2 (%3): echoed")
                .arg(RegisterText(r16), RegisterText(v16), QString::number(v16)));
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
    // A report that is not all on the disk is no report: every write, the flush and the
    // close are checked.
    bool reportFailed = false;
    if (!o.reportPath.isEmpty()) {
        QFile file(o.reportPath);
        const QByteArray text = QJsonDocument(report).toJson();
        bool written =
            file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size() && file.flush();
        QString why = file.errorString();
        file.close();
        written = written && file.error() == QFileDevice::NoError;
        if (!written) {
            if (file.error() != QFileDevice::NoError)
                why = file.errorString();
            err(QStringLiteral("cannot write the report %1: %2").arg(o.reportPath, why));
            reportFailed = true;
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
