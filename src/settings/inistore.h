#pragma once
// The settings store of Linux and other systems without the registry: an INI file per user,
// with machine-wide defaults.
#include "settings/store.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <memory>
#include <vector>

namespace relvix {

// A settings file in memory: judged, read and edited as bytes, so that no judgement depends on
// a temporary folder or on what QSettings has cached. It reads what Qt's INI reader
// (QSettings::IniFormat, Qt 6.4) reads, and also takes two things people put in such files:
// a UTF-8 byte-order mark (skipped, as later Qt versions do) and '#' comment lines.
class SettingsText {
public:
    // Larger files are not ours: the biggest a save can write is about 0.8 MB (four texts of
    // 32767 characters at up to 6 bytes each), so this leaves room and bounds what a load reads.
    static constexpr qsizetype kLargest = 4 * 1024 * 1024;

    // A new file.
    SettingsText();
    explicit SettingsText(QByteArray bytes);

    // False when Qt's INI reader reports a format error ('#' comment lines and a byte-order
    // mark aside) or the file is larger than kLargest.
    bool usable() const { return usable_; }
    const QByteArray &bytes() const { return bytes_; }

    // Top-level values (names without '/'), as Qt's INI reader returns them: texts,
    // lists of texts, or the typed values it decodes from "@Variant(...)" and the like.
    bool contains(const QString &name) const;
    QVariant value(const QString &name) const;

    // Stores text under a top-level name made of letters, digits, '_', '-' and '.'. Only the
    // bytes of that value change (a missing name gets a line of its own); every other byte of
    // the file, comments and names written by hand included, stays as it was. False, with
    // nothing changed, when the file is not usable or would grow past kLargest.
    bool setText(const QString &name, const QString &text);

    // Whether every value but those of the given names is as in before, name by name and byte
    // by byte, and both are usable.
    bool sameApartFrom(const SettingsText &before, const QStringList &names) const;

    // A text as an INI value that reads back as exactly that text. It holds no line break, no
    // ';' or ',' outside quotes, no open quote and no final lone backslash, so it cannot run
    // into what follows it on its line.
    static QByteArray encoded(const QString &text);

private:
    // Byte ranges of bytes_. Nothing is decoded while parsing, so judging a file is cheap.
    struct Span {
        qsizetype begin = 0;
        qsizetype end = 0;
    };
    struct Entry {
        Span key;     // the name as written, trimmed
        Span section; // the "[...]" line before it; empty at the top level
        Span value;
        bool topLevel;
    };
    void parse();
    QByteArrayView view(Span span) const { return QByteArrayView(bytes_).sliced(span.begin, span.end - span.begin); }
    qsizetype winner(const QString &name) const;
    qsizetype findWinner(const QString &name) const;

    QByteArray bytes_;
    bool usable_ = true;
    bool endsTopLevel_ = true; // the last section is the top level, so a new line can go last
    bool openEnd_ = false;     // the last line runs to the end in quotes or with a backslash escape
    qsizetype bodyBegin_ = 0;  // after a byte-order mark
    std::vector<Entry> entries_;
    // A load asks for each name two or three times in a row.
    mutable QString lastName_;
    mutable qsizetype lastWinner_ = -1;
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
    // Both replace their target in one step: a crash leaves the old file or the new one.
    virtual bool replace(const QString &path, const QByteArray &bytes) = 0;
    virtual bool copy(const QString &from, const QString &to) = 0;
};

// The INI store over the given files; on disk, the per-user file is
// $XDG_CONFIG_HOME/Kavrel/Relvix.conf and the machine-wide ones are in the other configuration
// folders. A user file that is not usable reads as no key, and the save that replaces it first
// keeps it as Relvix.conf.bad beside it (one copy, the latest). Nothing is written over a file
// that cannot be read.
std::unique_ptr<SettingsStore> makeIniSettingsStore(std::shared_ptr<SettingsFiles> files);

} // namespace relvix
