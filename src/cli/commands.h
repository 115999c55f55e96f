#pragma once
#include "cli/session.h"

namespace relvix::cli {

// The subcommands. Each gets options already checked and returns an exit code.
int runPorts(const Options &options);
int runIdentify(const Options &options);
int runScan(const Options &options);
int runCard(const Options &options);
int runClear(const Options &options);
int runIo(const Options &options);
int runSetDo(const Options &options);
int runSetAddress(const Options &options);
int runReboot(const Options &options); // reboot and factory-reset
int runRaw(const Options &options);
int runSelftest(const Options &options);

// Serial modes that scan tries when none are given: the common speeds, with the reader's
// framing (even parity, 8 data bits, 1 stop bit).
QStringList defaultScanModes();
// Per-address time-out of scan when none is given; see the README for how it was chosen.
// Below 9600 baud it grows by the extra wire time of a request and its answer.
constexpr int kDefaultScanTimeoutMs = 60;
int defaultScanTimeoutMs(qint32 baud);

} // namespace relvix::cli
