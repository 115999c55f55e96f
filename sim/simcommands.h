#pragma once
#include "simserver.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

namespace relvix::sim {

// Hex digits to bytes, two digits a byte; blanks are ignored. Empty on an odd count or a
// character that is not a hex digit (ok tells these apart from an empty text).
QByteArray parseHexBytes(const QString &text, bool *ok);
// At most maxDigits hex digits (at least one) as a number.
std::optional<quint32> parseHexNumber(const QString &text, int maxDigits);

// Changes faults by "key value" words: none, delay MS, gap MS, chunk N, noise-before HEX,
// noise-after HEX, wrong-crc [on|off], exception CODE, silent [on|off], endless [on|off],
// close-after N (-1 off), answer-as N (-1 off). Several pairs may follow one another.
// Returns false with a message, leaving faults unchanged, when a word is not understood.
bool applyFaultWords(FaultScript &faults, const QStringList &words, QString *error);

// A reader on the line as given to --reader and "reader add":
// ADDRESS:SERIAL:VERSION[:SPEED[:TURNAROUND_MS]] (SPEED may be empty: any),
// e.g. 5:0012ABCD:1A05 or 7:00000007:0100:9600 (address 1..254, serial up to 8 and version
// up to 4 hex digits, speed in baud).
struct ReaderSpec {
    std::uint8_t address = 1;
    quint32 serial = 0;
    quint16 version = 0;
    int speed = 0;        // 0: answers at any speed
    int turnaroundMs = 0; // how long it takes to answer
    void applyTo(VirtualReader &reader) const;
};
std::optional<ReaderSpec> parseReaderSpec(const QString &text, QString *error);

enum class CommandResult { Ok, Quit, Error };

// What lasts from one command line to the next: the reader that the reader commands act on
// (an index of the server's readers; the first one until "reader N").
struct CommandContext {
    int reader = 0;
};

// One line of the program's command language (standard input and script files):
//   uid HEX | keys DIGITS | inputs HEX | outputs HEX | address N | serial HEX | version HEX
//   speed BAUD|any | turnaround MS | show          (these act on the selected reader)
//   reader N | reader add READER | readers
//   line [MODE] | line-baud BAUD | noise RATE | gateway on|off|MS
//   fault ... | inject HEX | close-pty | log on|off | quit | help
// Blank lines and lines starting with # do nothing. Text meant for the user goes to *output
// (error text on Error). Without a context the first reader is the selected one.
CommandResult runCommand(SimServer &server, const QString &line, QString *output, CommandContext *context = nullptr);

// The text of "help".
QString commandHelp();

// Cuts standard input into command lines, looking at each byte once however the input is
// split. A line longer than the bound is not kept: it is reported once, when it passes the
// bound, and skipped up to its end.
class InputLines {
public:
    // Far above any command (an injection of a 256-byte frame takes 774 characters).
    static constexpr qsizetype DefaultMaxBytes = 64 * 1024;
    explicit InputLines(qsizetype maxBytes = DefaultMaxBytes) : maxBytes_(maxBytes) {}

    struct Line {
        QByteArray text;      // without its newline
        bool tooLong = false; // a line over the bound, text empty
    };
    // The lines that these bytes complete, and a report for each line that passes the bound.
    QList<Line> feed(const QByteArray &bytes);
    // At the end of input: the last line if it had no newline.
    QList<Line> finish();
    qsizetype maxBytes() const { return maxBytes_; }

private:
    qsizetype maxBytes_;
    QByteArray pending_;
    bool skipping_ = false; // inside an overlong line
};

} // namespace relvix::sim
