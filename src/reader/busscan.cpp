#include "reader/busscan.h"
#include "link/serialmode.h"
#include "reader/registers.h"

#include <algorithm>
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

int DefaultScanTimeoutMs(qint32 baud)
{
    // An 8-byte request and a 7-byte answer, against their time at 9600 baud, which the 60 ms
    // already cover.
    const std::int64_t extraUs = baud > 0 ? WireTimeUs(15, baud) - WireTimeUs(15, 9600) : 0;
    return kDefaultScanTimeoutMs + static_cast<int>((std::max<std::int64_t>(extraUs, 0) + 999) / 1000);
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
        const int scanTimeout = settings.scanTimeoutMs > 0 ? settings.scanTimeoutMs
                                : mode.isEmpty()           ? kDefaultScanTimeoutMs
                                                 : DefaultScanTimeoutMs(ParseSerialMode(mode).baudRate.value_or(0));
        std::bitset<256> asked, found;
        late.noted.clear();

        // A reader that answered: its identity, then the hit.
        const auto report = [&](std::uint8_t address, bool wasLate) {
            const std::uint32_t responseMs = link_.lastResult().responseMs;
            found.set(address);
            ++result.found;
            ScanHit hit{mode, address, std::nullopt, responseMs, wasLate};
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
                    report(address, true);
            }
        };

        for (int a = from; a <= to && !stop() && !link_.lost(); ++a) {
            const auto address = static_cast<std::uint8_t>(a);
            if (onProgress)
                onProgress({result.done, result.total, mode, address});
            bool answered = false;
            {
                const ReaderLink::TimeoutScope timeout(link_, scanTimeout);
                answered = reader.readAddress(address).has_value();
            }
            asked.set(address);
            ++result.done;
            if (link_.lost())
                break;
            if (answered && !found.test(address))
                report(address, false);
            followLate();
        }
        // The last addresses' late answers come after the loop: listen for one time-out more.
        if (!link_.lost() && !stop()) {
            link_.drain(scanTimeout);
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
