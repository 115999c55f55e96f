#include "reader/busscan.h"
#include "link/serialmode.h"
#include "reader/registers.h"

#include <algorithm>
#include <array>
#include <bitset>
#include <deque>

namespace relvix {

QStringList DefaultScanModes()
{
    return {"9600,e,8,1", "19200,e,8,1", "38400,e,8,1", "57600,e,8,1", "115200,e,8,1"};
}

QStringList WideScanModes()
{
    QStringList modes;
    for (const char *speed : {"1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200"})
        for (const char *parity : {"e", "o", "n"})
            modes << QStringLiteral("%1,%2,8,1").arg(QLatin1String(speed), QLatin1String(parity));
    return modes;
}

std::uint32_t SuggestedScanTimeoutMs(std::uint32_t lateMaxMs)
{
    return (2 * lateMaxMs + 9) / 10 * 10;
}

namespace {

// An address read and its answer: 8 and 7 bytes.
constexpr int kScanFrameCharacters = 8 + reg::ReadLength(1);

std::int64_t scanWireUs(qint32 baud)
{
    const std::int64_t b = std::max<std::int64_t>(baud, kSlowestCountedBaud);
    return WireTimeUs(kScanFrameCharacters, b) + FrameGapUs(b);
}

} // namespace

int WireScanTimeoutMs(qint32 baud, int allowanceMs)
{
    return static_cast<int>((scanWireUs(baud) + 999) / 1000) + std::max(allowanceMs, 0);
}

int ScanTurnaroundMs(qint32 baud, std::uint32_t responseMs)
{
    const std::int64_t left = std::int64_t(responseMs) * 1000 - scanWireUs(baud);
    return left > 0 ? static_cast<int>((left + 999) / 1000) : 0;
}

int DefaultScanTimeoutMs(qint32 baud)
{
    return WireScanTimeoutMs(baud);
}

int DefaultScanTimeoutMs(const QString &mode)
{
    return mode.isEmpty() ? kDefaultScanTimeoutMs : WireScanTimeoutMs(ParseSerialMode(mode).baudRate.value_or(0));
}

namespace {

// Notes the addresses whose answer to an address read came late: a dropped frame of
// function 03 with two data bytes.
class LateAnswers final : public FrameObserver {
public:
    void frameEvent(const FrameEvent &e) override
    {
        if (e.kind != FrameEvent::Kind::Dropped || e.bytes.size() != reg::ReadLength(1))
            return;
        if (std::uint8_t(e.bytes[1]) == reg::ReadHolding && std::uint8_t(e.bytes[2]) == 2)
            noted.push_back(std::uint8_t(e.bytes[0]));
    }
    std::deque<std::uint8_t> noted;
};

struct RuleKept {
    explicit RuleKept(ReaderLink &l) : link(l), rule(l.answerRule()) { link.setAnswerRule(AnswerRule::Strict); }
    ~RuleKept() { link.setAnswerRule(rule); }
    ReaderLink &link;
    AnswerRule rule;
};

} // namespace

ScanResult BusScan::run(const ScanSettings &settings)
{
    ScanResult result;
    const QStringList modes = settings.transport == Transport::Tcp
                                  ? QStringList{QString()}
                                  : (settings.modes.isEmpty() ? DefaultScanModes() : settings.modes);
    const int from = std::clamp(settings.from, 0, 255), to = std::clamp(settings.to, 0, 255);
    const int perMode = std::max(to - from + 1, 0);
    result.total = perMode * int(modes.size());

    RuleKept kept(link_);
    CardReader reader(link_);
    LateAnswers late;
    link_.addObserver(&late);
    const auto stop = [&] {
        if (!result.stopped && stopRequested && stopRequested())
            result.stopped = true;
        return result.stopped;
    };

    for (const QString &mode : modes) {
        if (stop())
            break;
        LinkState &s = link_.state;
        s.transport = settings.transport;
        s.peerAddress = settings.peerAddress;
        s.peerPort = settings.peerPort;
        s.portName = settings.portName;
        s.serialMode = mode;
        if (!link_.OpenLink()) {
            result.openFailed = true;
            result.openFailedMode = mode;
            break;
        }
        const qint32 baud = mode.isEmpty() ? 0 : ParseSerialMode(mode).baudRate.value_or(0);
        // A time-out given by the caller is kept as it is; the wire-paced one may rise.
        int allowance = kScanAllowanceMs;
        int scanTimeout = settings.scanTimeoutMs > 0 ? settings.scanTimeoutMs : DefaultScanTimeoutMs(mode);
        const auto raiseAllowance = [&](std::uint32_t responseMs) {
            if (settings.scanTimeoutMs > 0 || mode.isEmpty())
                return;
            const int wanted = ScanTurnaroundMs(baud, responseMs) + kScanAllowanceMarginMs;
            if (wanted > allowance && wanted <= kMaxScanAllowanceMs) {
                allowance = wanted;
                scanTimeout = WireScanTimeoutMs(baud, allowance);
            }
        };
        std::bitset<256> asked, found;
        // When each address was asked, for the re-asking after garbled bytes.
        std::array<qint64, 256> askedAtMs{};
        const std::uint32_t modeStartMs = link_.clock().nowMs();
        const auto elapsedMs = [&] { return qint64(link_.clock().nowMs() - modeStartMs); };
        int fruitlessSweeps = 0;
        late.noted.clear();

        // A reader that answered: its identity, then the hit.
        const auto report = [&](std::uint8_t address, bool wasLate, bool afterGarble) {
            const std::uint32_t responseMs = link_.lastResult().responseMs;
            found.set(address);
            ++result.found;
            ScanHit hit{mode, address, std::nullopt, responseMs, wasLate, scanTimeout, afterGarble};
            raiseAllowance(responseMs);
            if (!stop()) {
                const ReaderLink::TimeoutScope timeout(link_, settings.timeoutMs);
                hit.identity = reader.readIdentity(address);
            }
            if (onHit)
                onHit(hit);
        };
        // Each address whose answer came late is asked again, with time to answer.
        const auto followLate = [&] {
            while (!late.noted.empty() && !link_.lost() && !stop()) {
                const std::uint8_t address = late.noted.front();
                late.noted.pop_front();
                if (!asked.test(address) || found.test(address))
                    continue;
                const ReaderLink::TimeoutScope timeout(link_, kLateProbeTimeoutMs);
                if (reader.readAddress(address))
                    report(address, true, false);
            }
        };
        // Garbled bytes heard at heardMs, while `current` was asked (whose own request or
        // answer they may have spoiled): the addresses that could have sent them, nearest
        // first, until one answers. Its late answer may collide again with a re-asking, so
        // the re-askings' own garbled bytes start nothing new.
        const auto followGarble = [&](int current, qint64 heardMs) {
            if (fruitlessSweeps >= kNoisySweeps)
                return;
            ++result.garbleSweeps;
            bool answered = false;
            for (int a = current; a >= from && !answered && !link_.lost() && !stop(); --a) {
                const auto address = static_cast<std::uint8_t>(a);
                const qint64 since = heardMs - askedAtMs[address];
                if (a != current && since > kLongestTurnaroundMs)
                    break;
                if (found.test(address) || !asked.test(address))
                    continue;
                const int timeoutMs = std::max<int>(scanTimeout, static_cast<int>(since) + scanTimeout);
                const ReaderLink::TimeoutScope timeout(link_, timeoutMs);
                if (reader.readAddress(address)) {
                    answered = true;
                    report(address, a != current, true);
                }
            }
            if (!answered && ++fruitlessSweeps == kNoisySweeps)
                result.noisyModes << mode;
        };

        for (int a = from; a <= to && !stop() && !link_.lost(); ++a) {
            const auto address = static_cast<std::uint8_t>(a);
            if (onProgress)
                onProgress({result.done, result.total, mode, address});
            bool answered = false;
            askedAtMs[address] = elapsedMs();
            {
                const ReaderLink::TimeoutScope timeout(link_, scanTimeout);
                answered = reader.readAddress(address).has_value();
            }
            asked.set(address);
            ++result.done;
            if (link_.lost())
                break;
            const bool garbled = !answered && link_.lastResult().garbledBytes > 0;
            if (answered && !found.test(address))
                report(address, false, false);
            followLate();
            if (garbled && !found.test(address))
                followGarble(a, elapsedMs());
            followLate();
        }
        // The last addresses' late answers come after the loop: listen a while longer.
        if (!link_.lost() && !stop()) {
            link_.drain(std::max(scanTimeout, kEndListenMs));
            followLate();
        }
        const bool lost = link_.lost();
        link_.CloseLink(); // its lastResult() stays: why it was lost
        if (lost) {
            result.lost = true;
            break;
        }
    }
    link_.removeObserver(&late);
    return result;
}

} // namespace relvix
