#pragma once
// What every subcommand stands on: its parsed options, the output streams, the stop signals
// (Ctrl+C, SIGTERM, SIGHUP), and an open link to the reader with the device over it.
#include "cli/cli.h"
#include "link/hextext.h"
#include "reader/cardreader.h"
#include "settings/settings.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <cstdio>
#include <memory>
#include <optional>

namespace relvix::cli {

// A link as given on the command line, or as the window last saved it.
struct LinkChoice {
    Transport transport = Transport::Serial;
    QString peerAddress; // tcp
    QString peerPort;
    QString portName; // serial
    QString serialMode = StoredSettings().serialMode;
    bool modeGiven = false; // --mode, or the window's saved mode
    bool fromWindow = false;
    QString describe() const; // "tcp 127.0.0.1:4001" or "serial /dev/ttyUSB0 19200,e,8,1"
};

struct Options {
    QString command;
    QStringList arguments; // positional arguments after the subcommand
    LinkChoice link;
    int address = 1;
    int timeoutMs = 1000;
    int retries = 2; // identify, set-address, selftest, reboot --wait: tries beyond the first
    bool json = false;
    QString logPath;                  // "" none, "-" standard error
    qint64 logMaxBytes = 100'000'000; // a log file is rotated before it grows past this; 0 no bound
    bool yes = false;
    bool force = false; // set-address: even when another reader answers at the new address
    EchoMode echo = EchoMode::Auto;
    bool reconnect = false; // card --watch

    // scan
    int from = 1, to = 254;
    QStringList modes;
    int scanTimeoutMs = 0; // 0: the default for each mode
    // card
    int format = 0;
    bool lsb = false, allFormats = false, keyHex = false, watch = false, clear = false;
    int count = 0;         // 0: no limit
    double forSeconds = 0; // 0: no limit
    int intervalMs = 100;
    // reboot, factory-reset
    bool wait = false;
    int waitTimeoutS = 30;
    // raw
    int expect = 0;
    // selftest
    QString reportPath;
    bool outputs = false;
    std::uint16_t pattern = 0xA55A;
};

// Results go to standard output, one line at a time and flushed, so that a pipe sees each
// event as it happens; diagnostics and progress go to standard error.
// A result that cannot be written (a full disk, a closed pipe) is remembered: the command
// stops at its next chance and the program exits with OutputFailed.
void out(const QString &line);
void outJson(const QJsonObject &object);
void err(const QString &line); // "relvix-cli: " + line
bool stderrIsTerminal();
int terminalColumns(); // of standard error; 80 when it cannot be told
void noteOutputFailure(const QString &what, int error);
bool outputFailed();
// Standard output is a pipe whose reader has gone (head -n1 took its line and left): more
// output is lost, and with onlyWithUnread, output written before it left was never read.
// Noted as an output failure, as a write into it would be.
void checkOutputReader(bool onlyWithUnread);
QString outputFailure(); // "standard output: No space left on device"
// A failure as --json prints it, always the same shape: {"error": {"message", "exit", ...}}.
void outError(int exitCode, const QString &message, const QJsonObject &fields = {});
// Local time in ISO 8601 with milliseconds and its UTC offset: 2024-05-01T14:03:07.123+02:00.
QString isoNow();

// Ctrl+C (SIGINT), SIGTERM and SIGHUP: the first one asks the running command to stop at its
// next chance (an exchange in progress ends first, at most its time-out later); a second one
// ends the program at once, with 128 + its number.
void installInterruptHandler();
bool interrupted();
// 128 + the first stop signal's number (130 SIGINT, 143 SIGTERM, 129 SIGHUP); 130 before one.
int interruptedExit();
// "SIGTERM"; "" before a stop signal.
QString interruptName();
// Interrupted, or a result could not be written: time to stop.
bool shouldStop();
// Sleeps up to ms, in short slices; false when interrupted meanwhile.
bool pauseMs(int ms);

// Asks on the terminal; elsewhere only --yes goes ahead. Nothing is asked with --yes.
enum class Consent { Yes, No, NeedYes, Interrupted };
Consent confirm(const Options &options, const QString &question);

// The typed outcome of an exchange for --json: {"outcome": "exception", "exception":
// {"code": 2, "name": "illegal data address"}}, and "reason" for a lost link.
QJsonObject outcomeJson(const ExchangeResult &result);
// The same as text: "exception 02 (illegal data address)", "silence", "link lost: ...".
QString outcomeLine(const ExchangeResult &result);
// 3 for a lost link, else 1.
int exitFor(const ExchangeResult &result);
// Whether something other than a reader's silence was heard: garbled bytes, two answers,
// another reader's frame, or an exception other than a gateway's 0A or 0B.
bool somethingHeard(const ExchangeResult &result);

// An open link to the reader and the device over it, for one command, under the strict
// answer rule.
class Session : public ExchangeHost {
public:
    explicit Session(const Options &options);
    ~Session() override;

    // Opens the link (serial with `mode` when given); false when it failed: openFailed()
    // then says why.
    bool open(const QString &mode = {});
    // Says why the latest open failed, in the system's words (stderr, and the error object
    // with --json); returns the exit code.
    int openFailed() const;
    void close();
    CardReader &reader() { return reader_; }
    ReaderLink &link() { return link_; }
    std::uint16_t address() const { return static_cast<std::uint16_t>(options_.address); }
    const Options &options() const { return options_; }

    // Says why the latest exchange failed, after `what` ("no answer at address 1"), with a
    // hint where one helps; prints the error object with --json; returns the exit code.
    int failed(const QString &what, QJsonObject fields = {}, int exitCode = -1);
    // How long after its request the latest late answer of this address came, if one came.
    std::optional<std::uint32_t> lateAnswerMs(std::uint8_t slave) const;
    // A lost link as one line: "the link to serial /dev/ttyUSB0 was lost: Input/output error".
    QString lostText() const;
    // Auto echo, before a command whose first request is a write (its answer is the
    // request itself): one read at `slave` tells whether the line echoes. False when only
    // the echo came back: no reader answered, and nothing should be written.
    bool learnEcho(std::uint16_t slave);

    void processMessages() override;

private:
    class LateNotes;
    class EchoNote;
    const Options &options_;
    ReaderLink link_;
    CardReader reader_{link_};
    std::unique_ptr<FrameObserver> log_;
    std::unique_ptr<LateNotes> late_;
    std::unique_ptr<EchoNote> echoNote_;
};

// The link of the window's settings store (read only): nullopt when it has saved none, or when
// the store could not be read, and then why in unreadable.
std::optional<LinkChoice> windowSavedLink(QString *unreadable = nullptr);

// "0000000010100101": the 16 bits of a register, most significant first.
QString bitsText(std::uint16_t value);

} // namespace relvix::cli
