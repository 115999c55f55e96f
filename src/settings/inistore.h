#pragma once
// The settings store of Linux and other systems without the registry: an INI file per user,
// with machine-wide defaults.
#include "settings/store.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <memory>
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

// Where the settings files are and how they are read and written, apart so that the store's
// rules also run in memory.
class SettingsFiles {
public:
    virtual ~SettingsFiles() = default;
    // The per-user file, and the machine-wide files that fill in what it lacks, first one first.
    // Asked at every open.
    virtual QString userPath() = 0;
    virtual QStringList machinePaths() = 0;
    enum class Found { Missing, Read, Unreadable };
    // Reads up to limit + 1 bytes. Unreadable covers anything that is there but cannot be read
    // as a file (a folder, no permission, an I/O error).
    virtual Found read(const QString &path, qsizetype limit, QByteArray &bytes) = 0;
    virtual bool makeFolderFor(const QString &path) = 0;
    // Replaces the file in one step, and only once every byte of the new one is written and
    // read back: a crash, a full disk or a failed write leaves the old file as it was.
    virtual bool replace(const QString &path, const QByteArray &bytes) = 0;
    // Keeps the file as it is under path + ".bad" (one copy, the latest), or under the first of
    // ".bad.1" to ".bad.9" that is free where that name is taken by something else (a folder).
    virtual bool keepAside(const QString &path) = 0;
    // Held while a save re-reads and rewrites the file, so that two programs saving at once
    // each keep the other's values. False when it cannot be had within about 2 s. On disk it is
    // a lock on path + ".lock", which stays, and which the system lets go of when its holder
    // ends, however it ends.
    virtual bool lock(const QString &path) = 0;
    virtual void unlock() = 0;
    // Why the latest read, folder, replace, keepAside or lock failed, in words.
    virtual QString failure() const { return {}; }
};

// The INI store over the given files; on disk, the per-user file is
// $XDG_CONFIG_HOME/Kavrel/Relvix.conf and the machine-wide ones are in the other configuration
// folders. A user file that is not usable reads as no key, and the save that replaces it first
// keeps it aside. Nothing is written over a file that cannot be read. On disk, a save run as
// root keeps the owner and group of the file it replaces (a new file or folder gets those of
// the folder it is made in), a symbolic link is written through to the file it names, and the
// new files that a killed save left are removed.
std::unique_ptr<SettingsStore> makeIniSettingsStore(std::shared_ptr<SettingsFiles> files);

} // namespace relvix
