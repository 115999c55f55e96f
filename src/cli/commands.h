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
int runRead(const Options &options);
int runWrite(const Options &options);
int runSelftest(const Options &options);

// A register number or value as read and write take it: decimal, or hex after 0x.
std::optional<quint32> registerNumber(const QString &text, quint32 max);

} // namespace relvix::cli
