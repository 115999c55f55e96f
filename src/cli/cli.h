#pragma once
#include <QStringList>

namespace relvix::cli {

// Exit codes, as documented in --help and the README.
enum Exit : int {
    Done = 0,
    NoAnswer = 1,     // the reader did not answer, or not correctly (an exception, another's frame)
    Usage = 2,        // bad command line or output path; nothing was sent
    LinkFailed = 3,   // the port or the connection could not be opened, or was lost
    VerifyFailed = 4, // the reader answered, but a write was not read back as written
    OutputFailed = 5, // a result, report or log could not be written
    Interrupted = 130,
};

// Runs relvix-cli on its arguments (the program name first) and returns the exit code.
int run(const QStringList &arguments);

} // namespace relvix::cli
