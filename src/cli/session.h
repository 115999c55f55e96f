#pragma once
// What every subcommand stands on: its parsed options, the output streams, Ctrl+C, and an
// open link to the reader with the device over it.
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
    bool fromWindow = false;
    QString describe() const; // "tcp 127.0.0.1:4001" or "serial /dev/ttyUSB0 19200,e,8,1"
};

struct Options {
    QString command;
    QStringList arguments; // positional arguments after the subcommand
    LinkChoice link;
    int address = 1;
    int timeoutMs = 1000;
    bool json = false;
    QString logPath; // "" none, "-" standard error
    bool yes = false;

    // scan
    int from = 1, to = 247;
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
void out(const QString &line);
void outJson(const QJsonObject &object);
void err(const QString &line); // "relvix-cli: " + line
bool stderrIsTerminal();

// Ctrl+C: the first one asks the running command to stop at its next chance (an exchange
// in progress ends first, at most its time-out later); a second one ends the program at once.
void installInterruptHandler();
bool interrupted();
// Sleeps up to ms, in short slices; false when interrupted meanwhile.
bool pauseMs(int ms);

// Asks on the terminal; elsewhere only --yes goes ahead. Nothing is asked with --yes.
enum class Consent { Yes, No, NeedYes };
Consent confirm(const Options &options, const QString &question);

// An open link to the reader and the device over it, for one command.
class Session : public ExchangeHost {
public:
    explicit Session(const Options &options);
    ~Session() override;

    // Opens the link (serial with `mode` when given); false after saying why on stderr.
    bool open(const QString &mode = {});
    void close();
    CardReader &reader() { return reader_; }
    ReaderLink &link() { return link_; }
    std::uint16_t address() const { return static_cast<std::uint16_t>(options_.address); }
    const Options &options() const { return options_; }

    void processMessages() override;

private:
    const Options &options_;
    ReaderLink link_;
    CardReader reader_{link_};
    std::unique_ptr<FrameObserver> log_;
    std::FILE *logFile_ = nullptr;
};

// The link of the window's settings store (read only): nullopt when it has saved none.
std::optional<LinkChoice> windowSavedLink();

// "0000000010100101": the 16 bits of a register, most significant first.
QString bitsText(std::uint16_t value);

} // namespace relvix::cli
