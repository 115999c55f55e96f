#pragma once
#include <QStringList>

namespace relvix::cli {

// Exit codes, as documented in --help and the README.
enum Exit : int {
    Done = 0,
    NoAnswer = 1,     // the reader did not answer, or not correctly
    Usage = 2,        // bad command line; nothing was sent
    LinkFailed = 3,   // the port or the connection could not be opened
    VerifyFailed = 4, // a write was not read back as written
    Interrupted = 130,
};

// Runs relvix-cli on its arguments (the program name first) and returns the exit code.
int run(const QStringList &arguments);

} // namespace relvix::cli
