#pragma once
// A settings file in memory, apart from the store that reads and writes it.
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

namespace relvix {

// A settings file in memory: judged, read and edited as bytes, so that no judgement depends on
// a temporary folder or on what QSettings has cached.
//
// It reads what this tool writes and what a person writes by hand, as Qt's INI reader reads
// it: key=value lines, quoted texts with backslash escapes (named ones, \x hex and \0 to \7
// octal), lists of texts split at commas outside quotes, ';' comments, blank lines, LF, CRLF or
// CR line breaks, lines that run on past a break in quotes or after a backslash, one UTF-8
// byte-order mark, sections, and duplicate names, of which the last at the top level
// ([General], or before any section) wins. As with Qt, '#' begins no comment. Anything else is
// kept as it stands and not read: a line without '=', a name spelled with escapes, a value in
// one of Qt's typed forms ("@Variant(...)", "@ByteArray(...)" and the like), which reads as
// absent.
class SettingsText {
public:
    // Larger files are not ours: the biggest a save can write is about 0.8 MB (four texts of
    // 32767 characters at up to 6 bytes each), so this leaves room and bounds what a load reads.
    static constexpr qsizetype kLargest = 4 * 1024 * 1024;

    // A new file.
    SettingsText();
    explicit SettingsText(QByteArray bytes);

    // False for what cannot be a settings file at all: larger than kLargest, or not text (a
    // zero byte, as where a crash lost a block).
    bool usable() const { return usable_; }
    const QByteArray &bytes() const { return bytes_; }

    // A top-level value of the given name that reads as a text (a list of texts joined by ',').
    bool contains(const QString &name) const { return text(name).has_value(); }
    std::optional<QString> text(const QString &name) const;

    // Stores text under a top-level name made of letters, digits, '_', '-' and '.'. Only the
    // bytes of that value change (a missing name gets a line of its own); every other byte of
    // the file stays as it was. False, with nothing changed, when the file is not usable or
    // would grow past kLargest.
    bool setText(const QString &name, const QString &text);

    // Whether every line but those of the given names is as in before, byte for byte (a
    // [General] line that a save added aside), and both are usable.
    bool sameApartFrom(const SettingsText &before, const QStringList &names) const;

    // A text as an INI value that reads back as exactly that text. It holds no line break, no
    // ';' or ',' outside quotes, no open quote and no final lone backslash, so it cannot run
    // into what follows it on its line.
    static QByteArray encoded(const QString &text);

private:
    struct Line {
        qsizetype begin = 0; // the whole line as Qt's reader takes it, its break excluded
        qsizetype end = 0;
        qsizetype keyBegin = 0, keyEnd = 0; // a key=value line: the name, trimmed
        qsizetype valueBegin = 0, valueEnd = 0;
        bool entry = false;    // a key=value line
        bool topLevel = false; // in the top level (entries and section lines)
        bool section = false;  // a "[...]" line
    };
    void parse();
    qsizetype winner(const QString &name) const;
    QByteArray lineBytes(const Line &line) const { return bytes_.mid(line.begin, line.end - line.begin); }

    QByteArray bytes_;
    bool usable_ = true;
    bool endsTopLevel_ = true; // the last section is the top level, so a new line can go last
    bool endsOpen_ = false;    // the last line would run on into one after it (open quote, backslash)
    qsizetype bodyBegin_ = 0;  // after a byte-order mark
    std::vector<Line> lines_;
};

} // namespace relvix
