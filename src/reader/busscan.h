#pragma once
#include "reader/cardreader.h"

#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <optional>

namespace relvix {

// Serial modes a scan tries when none are given: the common speeds, with the reader's
// framing (even parity, 8 data bits, 1 stop bit).
QStringList DefaultScanModes();
// The wide preset: 1200 to 115200 baud, each with even, odd and no parity.
QStringList WideScanModes();
// Per-address time-out of a scan when none is given. An 8-byte request and a 7-byte answer
// at 9600 baud, the reader's turnaround and the first byte back take some 30 ms; 60 ms is
// twice that. Below 9600 baud it grows by the extra wire time of the two frames.
constexpr int kDefaultScanTimeoutMs = 60;
int DefaultScanTimeoutMs(qint32 baud);
// The second look at an address whose answer came after its time-out.
constexpr int kLateProbeTimeoutMs = 1000;
// The scan time-out that finds at once a reader whose slowest answer took lateMaxMs: twice
// that, in tens of milliseconds, room for its turnaround to vary.
std::uint32_t SuggestedScanTimeoutMs(std::uint32_t lateMaxMs);

struct ScanSettings {
    Transport transport = Transport::Serial;
    QString peerAddress; // tcp
    QString peerPort;
    QString portName;  // serial
    QStringList modes; // serial: tried in this order; empty: DefaultScanModes()
    int from = 1, to = 254;
    int scanTimeoutMs = 0; // per address; 0: DefaultScanTimeoutMs of each mode's speed
    int timeoutMs = 1000;  // the identity read of each reader found
};

struct ScanHit {
    QString mode; // "" over TCP
    std::uint8_t address = 0;
    std::optional<Identity> identity; // none when its read failed
    std::uint32_t responseMs = 0;     // of the address read that found it
    // Found only by the second look at kLateProbeTimeoutMs: its first answer came after the
    // scan time-out, while another address was asked.
    bool late = false;
};

struct ScanProgress {
    int done = 0; // addresses asked so far, over all modes
    int total = 0;
    QString mode;
    std::uint8_t address = 0; // the one asked next
};

struct ScanResult {
    int done = 0, total = 0, found = 0;
    bool stopped = false;   // stopRequested said so
    QString openFailedMode; // set when a mode's open failed ("" with TCP): the link's openFailure() says why
    bool openFailed = false;
    bool lost = false; // the port or connection failed: the link's lastResult() says why
};

// Finds the readers on a line: every address of the range, in every mode, under the strict
// answer rule (a frame from another address is never a hit). A late answer from an address
// already passed is noted when it arrives, and that address is asked again at once with
// kLateProbeTimeoutMs. The link is the caller's (its observers see every frame, its host
// processes messages while a serial exchange waits); the scan opens and closes it once per
// mode and gives it back with the answer rule it had.
class BusScan {
public:
    explicit BusScan(ReaderLink &link) : link_(link) {}

    std::function<void(const ScanProgress &)> onProgress; // before each address
    std::function<void(const ScanHit &)> onHit;
    std::function<bool()> stopRequested; // asked between exchanges

    ScanResult run(const ScanSettings &settings);

private:
    ReaderLink &link_;
};

} // namespace relvix
