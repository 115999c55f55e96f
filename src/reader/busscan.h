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
// Per-address time-out of a scan, paced by the wire. An address read (8 bytes) and its answer
// (7 bytes) at the mode's speed, the 3.5-character gap before the answer, and an allowance
// for the reader's turnaround and the adapter. The silence is counted from the write, which
// the system finishes before the bytes are out, so the request's own wire time is in it.
// Over TCP the line behind a gateway is unknown: kDefaultScanTimeoutMs, which covers 9600
// baud with a 20 ms turnaround.
constexpr int kDefaultScanTimeoutMs = 60;
// The default turnaround allowance. On a pseudo-terminal the virtual reader answers an
// address read in 0.1 ms (median) and at most 12 ms in 300 reads on a busy two-core machine
// (build/bench/cli_bench); a reader of this kind turns round within 2 ms, and a USB adapter in
// low-latency mode adds about 1 ms. 5 ms covers those with room; the rare answer later than
// that is still found by the re-asking, at the cost of one more request, never the reader.
// A 10 ms allowance would add 6.4 s to the five default modes.
constexpr int kScanAllowanceMs = 5;
// A found reader's measured turnaround (plus kScanAllowanceMarginMs) raises the allowance for
// the rest of its mode, up to this bound. A reader slower than the bound leaves the allowance
// as it was: 254 addresses waiting for it would cost more than re-asking the few like it.
constexpr int kMaxScanAllowanceMs = 25;
constexpr int kScanAllowanceMarginMs = 2;
// The time-out of one address read at baud with the given allowance, in whole milliseconds.
int WireScanTimeoutMs(qint32 baud, int allowanceMs = kScanAllowanceMs);
// The reader's own turnaround in an address read that took responseMs at baud: what is left
// of it after the two frames' wire time and the gap; 0 when nothing is left.
int ScanTurnaroundMs(qint32 baud, std::uint32_t responseMs);
// The default per-address time-out of a mode text ("" for TCP).
int DefaultScanTimeoutMs(qint32 baud);
int DefaultScanTimeoutMs(const QString &mode);
// The longest turnaround the scan allows for: garbled bytes are put down to any address asked
// within this time before them.
constexpr int kLongestTurnaroundMs = 1000;
// How long a mode listens after its last address for late answers: the wire-paced time-outs
// are short, and a reader 150 ms slow at one of the last addresses answers after the loop.
// The full kLongestTurnaroundMs would cost a second per mode.
constexpr int kEndListenMs = 250;
// After this many re-askings for garbled bytes that found nobody, a mode's line counts as
// noisy: garbled bytes are no longer followed there (a late valid frame still is).
constexpr int kNoisySweeps = 2;
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
    int timeoutMs = 0; // the per-address time-out in force in its mode when it was found
    // Found by re-asking after garbled bytes (a late answer that collided with a request).
    bool afterGarble = false;
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
    // Garbled bytes were heard and re-asking found no sender kNoisySweeps times in these
    // modes ("" over TCP): the scan went on without following garbled bytes there.
    QStringList noisyModes;
    int garbleSweeps = 0; // re-askings for garbled bytes, over all modes
};

// Finds the readers on a line: every address of the range, in every mode, under the strict
// answer rule (a frame from another address is never a hit). Any byte heard after an
// address's time-out means an earlier address may hold a slow reader. A late valid answer
// names its sender, which is asked again at once with kLateProbeTimeoutMs. Garbled bytes
// (on a two-wire line a late answer and the next request garble each other) name no one: the
// addresses asked within kLongestTurnaroundMs before them are asked again, nearest first,
// each with a time-out just past the time since it was asked, until one answers. The link is the caller's (its
// observers see every frame, its host processes messages while a serial exchange waits); the scan opens and closes it
// once per mode and gives it back with the answer rule it had.
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
