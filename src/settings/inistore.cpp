#include "settings/inistore.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QTemporaryFile>
#include <QThread>

#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <unistd.h>

namespace relvix {

namespace {

const QString kRelativePath = QStringLiteral("Kavrel/Relvix.conf");
const QByteArray kByteOrderMark = QByteArrayLiteral("\xEF\xBB\xBF");

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

// What QByteArray::trimmed() takes for white space.
bool isAsciiSpace(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

int hexValue(char16_t c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void chopTrailingBlanks(QString &text, qsizetype limit)
{
    qsizetype n = text.size();
    while (n > limit && (text[n - 1] == u' ' || text[n - 1] == u'\t'))
        --n;
    text.truncate(n);
}

// Decodes into text's own buffer, so that a UTF-8 sequence split by an escape still joins.
void appendUtf8(QStringDecoder &utf8, QString &text, QByteArrayView bytes)
{
    const qsizetype at = text.size();
    text.resize(at + utf8.requiredSpace(bytes.size()));
    const QChar *end = utf8.appendToBuffer(text.data() + at, bytes);
    text.truncate(end - text.constData());
}

// Qt's typed forms: a value of another type than text, which this tool never writes.
bool isTyped(const QString &text)
{
    static const char *const kForms[] = {"@ByteArray(", "@String(", "@Variant(", "@DateTime(",
                                         "@Rect(",      "@Size(",   "@Point(",   "@Invalid("};
    if (!text.startsWith(u'@') || !text.endsWith(u')'))
        return false;
    for (const char *form : kForms)
        if (text.startsWith(QLatin1String(form)))
            return true;
    return false;
}

// A value's bytes as Qt's reader unescapes them: quotes, backslash escapes (named, and \x hex
// digits, which run on as long as they come and wrap at 16 bits), and commas outside quotes,
// which make a list, joined here by ','. "@@" stands for a leading '@'. Nothing for a typed form.
std::optional<QString> decodedValue(QByteArrayView raw)
{
    static constexpr char kNamed[][2] = {{'a', '\a'}, {'b', '\b'}, {'f', '\f'}, {'n', '\n'},  {'r', '\r'}, {'t', '\t'},
                                         {'v', '\v'}, {'"', '"'},  {'?', '?'},  {'\'', '\''}, {'\\', '\\'}};
    QStringDecoder utf8(QStringDecoder::Utf8);
    QStringList items;
    QString text;
    bool inQuotes = false;
    bool quoted = false;
    qsizetype i = 0;
    const qsizetype size = raw.size();
    const auto skipBlanks = [&] {
        while (i < size && isBlank(raw[i]))
            ++i;
    };
    skipBlanks();
    qsizetype chopLimit = 0; // blanks before this came from escapes or quotes and stay
    for (;;) {
        if (i >= size) {
            if (!quoted)
                chopTrailingBlanks(text, chopLimit);
            break;
        }
        const char c = raw[i];
        if (c == '\\') {
            if (++i >= size)
                break; // a backslash at the very end: nothing more, not even trimming
            const char e = raw[i++];
            bool named = false;
            for (const auto &pair : kNamed) {
                if (e == pair[0]) {
                    text += QLatin1Char(pair[1]);
                    named = true;
                    break;
                }
            }
            if (!named && e == 'x') {
                std::uint32_t code = 0;
                bool digits = false;
                for (int digit = 0; i < size && (digit = hexValue(char16_t(raw[i]))) >= 0; ++i) {
                    code = ((code << 4) | std::uint32_t(digit)) & 0xFFFFu;
                    digits = true;
                }
                if (digits)
                    text += QChar(char16_t(code));
            } // any other escaped byte is dropped, as Qt does
            chopLimit = text.size();
        } else if (c == '"') {
            ++i;
            quoted = true;
            inQuotes = !inQuotes;
            if (!inQuotes) {
                skipBlanks();
                chopLimit = text.size();
            }
        } else if (c == ',' && !inQuotes) {
            if (!quoted)
                chopTrailingBlanks(text, chopLimit);
            items.append(text);
            text.clear();
            quoted = false;
            ++i;
            skipBlanks();
            chopLimit = 0;
        } else {
            qsizetype j = i + 1;
            while (j < size && raw[j] != '\\' && raw[j] != '"' && raw[j] != ',')
                ++j;
            appendUtf8(utf8, text, raw.sliced(i, j - i));
            i = j;
        }
    }
    items.append(text);
    for (QString &item : items) {
        if (item.startsWith(QLatin1String("@@")))
            item.remove(0, 1);
        else if (isTyped(item) || (items.size() > 1 && item.startsWith(u'@')))
            return std::nullopt; // in a list, any item with one '@' makes Qt read a list of typed values
    }
    return items.join(u',');
}

// Whether Qt's reader would run this line on into the next: it ends inside quotes, or with a
// backslash that escapes the line break.
bool runsOn(QByteArrayView line)
{
    bool inQuotes = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        if (line[i] == '\\') {
            if (++i == line.size())
                return true;
        } else if (line[i] == '"') {
            inQuotes = !inQuotes;
        }
    }
    return inQuotes;
}

bool isPlainName(const QString &name)
{
    if (name.isEmpty())
        return false;
    for (const QChar c : name) {
        const char16_t u = c.unicode();
        if (!((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '_' || u == '-' ||
              u == '.'))
            return false;
    }
    return true;
}

} // namespace

SettingsText::SettingsText() = default;

SettingsText::SettingsText(QByteArray bytes) : bytes_(std::move(bytes))
{
    parse();
}

void SettingsText::parse()
{
    lines_.clear();
    endsTopLevel_ = true;
    usable_ = bytes_.size() <= kLargest && !bytes_.contains('\0');
    if (!usable_)
        return;
    // Skipped once, as Qt does from 6.5 on; a second mark belongs to the first line.
    bodyBegin_ = bytes_.startsWith(kByteOrderMark) ? kByteOrderMark.size() : 0;
    const char *const d = bytes_.constData();
    const qsizetype size = bytes_.size();
    bool topLevel = true;
    for (qsizetype pos = bodyBegin_; pos < size;) {
        Line line;
        line.begin = pos;
        qsizetype end = pos;
        while (end < size && d[end] != '\n' && d[end] != '\r')
            ++end;
        line.end = end;
        qsizetype first = pos;
        while (first < end && isAsciiSpace(d[first]))
            ++first;
        if (first < end && d[first] == '[') {
            // The section's name runs to ']', or to the end of a line without one.
            qsizetype close = first + 1;
            while (close < end && d[close] != ']')
                ++close;
            const QByteArray name = bytes_.mid(first + 1, close - first - 1).trimmed();
            topLevel = name.compare("general", Qt::CaseInsensitive) == 0;
            line.section = true;
            line.topLevel = topLevel;
        } else if (first < end && d[first] != ';' && d[first] != '#') {
            const qsizetype equals = bytes_.indexOf('=', first);
            if (equals >= 0 && equals < end) {
                line.entry = true;
                line.topLevel = topLevel;
                line.keyBegin = first;
                line.keyEnd = equals;
                while (line.keyEnd > line.keyBegin && isAsciiSpace(d[line.keyEnd - 1]))
                    --line.keyEnd;
                // A ';' outside quotes ends the value: the rest of the line is a comment.
                line.valueBegin = line.valueEnd = equals + 1;
                bool inQuotes = false;
                for (; line.valueEnd < end; ++line.valueEnd) {
                    const char c = d[line.valueEnd];
                    if (c == '\\' && line.valueEnd + 1 < end)
                        ++line.valueEnd;
                    else if (c == '"')
                        inQuotes = !inQuotes;
                    else if (c == ';' && !inQuotes)
                        break;
                }
            }
        }
        lines_.push_back(line);
        pos = end + (end + 1 < size && d[end] == '\r' && d[end + 1] == '\n' ? 2 : 1);
    }
    endsTopLevel_ = topLevel;
}

qsizetype SettingsText::winner(const QString &name) const
{
    if (!usable_)
        return -1;
    const QByteArray spelled = name.toLatin1();
    for (qsizetype i = qsizetype(lines_.size()) - 1; i >= 0; --i) {
        const Line &line = lines_[std::size_t(i)];
        if (line.entry && line.topLevel &&
            QByteArrayView(bytes_).sliced(line.keyBegin, line.keyEnd - line.keyBegin) == spelled)
            return i;
    }
    return -1;
}

std::optional<QString> SettingsText::text(const QString &name) const
{
    const qsizetype at = winner(name);
    if (at < 0)
        return std::nullopt;
    const Line &line = lines_[std::size_t(at)];
    return decodedValue(QByteArrayView(bytes_).sliced(line.valueBegin, line.valueEnd - line.valueBegin));
}

QByteArray SettingsText::encoded(const QString &text)
{
    static constexpr char kHex[] = "0123456789abcdef";
    const char16_t *const units = reinterpret_cast<const char16_t *>(text.constData());
    const qsizetype size = text.size();
    QByteArray out;
    out.reserve(size * 2 + 8);
    bool quote = size > 0 && (units[0] == ' ' || units[size - 1] == ' ');
    // The reader takes a leading '@' for a typed value; "@@" stands for one '@'.
    if (size > 0 && units[0] == '@')
        out += '@';
    bool afterHex = false; // a hex digit right after a \x escape would join it, so it is escaped too
    for (qsizetype i = 0; i < size; ++i) {
        const char16_t c = units[i];
        const bool joinsEscape = afterHex && hexValue(c) >= 0;
        afterHex = false;
        if (c >= 0x20 && c < 0x7F && !joinsEscape) {
            if (c == ';' || c == ',' || c == '=')
                quote = true;
            if (c == '\\' || c == '"')
                out += '\\';
            out += char(c);
        } else if (QChar::isHighSurrogate(c) && i + 1 < size && QChar::isLowSurrogate(units[i + 1])) {
            const char32_t code = QChar::surrogateToUcs4(c, units[++i]);
            out += char(0xF0 | (code >> 18));
            out += char(0x80 | ((code >> 12) & 0x3F));
            out += char(0x80 | ((code >> 6) & 0x3F));
            out += char(0x80 | (code & 0x3F));
        } else if (c > 0x9F && !QChar::isSurrogate(c) && c != 0xFEFF && c < 0xFFFE && !joinsEscape) {
            if (c < 0x800) {
                out += char(0xC0 | (c >> 6));
            } else {
                out += char(0xE0 | (c >> 12));
                out += char(0x80 | ((c >> 6) & 0x3F));
            }
            out += char(0x80 | (c & 0x3F));
        } else {
            // Controls, DEL and C1 controls, lone surrogates, and the byte-order mark and
            // non-characters that a UTF-8 decoder may drop, as \x escapes.
            out += "\\x";
            bool digits = false;
            for (int shift = 12; shift >= 0; shift -= 4) {
                const int digit = (c >> shift) & 0xF;
                digits = digits || digit != 0 || shift == 0;
                if (digits)
                    out += kHex[digit];
            }
            afterHex = true;
        }
    }
    if (quote) {
        out.prepend('"');
        out.append('"');
    }
    return out;
}

bool SettingsText::sameApartFrom(const SettingsText &before, const QStringList &names) const
{
    if (!usable_ || !before.usable_ || bytes_.left(bodyBegin_) != before.bytes_.left(before.bodyBegin_))
        return false;
    const auto kept = [&names](const SettingsText &file) {
        std::vector<QByteArray> lines;
        for (const Line &line : file.lines_) {
            const QByteArray key = file.bytes_.mid(line.keyBegin, line.keyEnd - line.keyBegin);
            if (!(line.entry && line.topLevel && names.contains(QString::fromLatin1(key))))
                lines.push_back(file.lineBytes(line));
        }
        return lines;
    };
    const std::vector<QByteArray> then = kept(before);
    std::vector<QByteArray> now = kept(*this);
    if (now.size() == then.size() + 1) {
        // A new value that had to go after another section came with a [General] line.
        for (auto it = now.rbegin(); it != now.rend(); ++it) {
            if (*it == "[General]") {
                now.erase(std::next(it).base());
                break;
            }
        }
    }
    return now == then;
}

bool SettingsText::setText(const QString &name, const QString &text)
{
    if (!usable_ || !isPlainName(name))
        return false;
    const QByteArray value = encoded(text);
    QByteArray bytes = bytes_;
    if (const qsizetype at = winner(name); at >= 0) {
        // The value is replaced where it stands; a comment after it stays. An encoded value
        // cannot run into what follows it.
        const Line &line = lines_[std::size_t(at)];
        bytes.replace(line.valueBegin, line.valueEnd - line.valueBegin, value);
    } else if (lines_.empty() ||
               !runsOn(QByteArrayView(bytes_).sliced(lines_.back().begin, lines_.back().end - lines_.back().begin))) {
        // A new line goes last: after a line break, in a [General] section.
        if (bytes.size() > bodyBegin_ && !bytes.endsWith('\n') && !bytes.endsWith('\r'))
            bytes += '\n';
        if (!endsTopLevel_ || bytes.isEmpty())
            bytes += "[General]\n";
        bytes += name.toLatin1() + '=' + value + '\n';
    } else {
        // The last line would run on into a line after it (an open quote, a final backslash),
        // for Qt's reader at least, so the new line goes first, which is always the top level.
        bytes.insert(bodyBegin_, name.toLatin1() + '=' + value + '\n');
    }
    if (bytes.size() > kLargest)
        return false;
    bytes_ = std::move(bytes);
    parse();
    return true;
}

namespace {

QString userSettingsPath()
{
    // Looked up at every open, so a changed XDG_CONFIG_HOME takes effect at once.
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QLatin1Char('/') + kRelativePath;
}

QStringList machineSettingsPaths()
{
    const QString userFolder = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    QStringList paths;
    for (const QString &folder : QStandardPaths::standardLocations(QStandardPaths::GenericConfigLocation)) {
        if (folder != userFolder)
            paths.append(folder + QLatin1Char('/') + kRelativePath);
    }
    return paths;
}

// Flushes what a folder holds (a rename into it) to the disk.
void syncFolderOf(const QString &path)
{
    const int folder = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(), O_RDONLY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
}

// Writes a new file beside path, from `fill`, and renames it to target once every byte is on the
// disk and reads back as `expected` (when given). False, with nothing changed, otherwise.
bool writeThenRename(const QString &path, const QString &target, const std::function<bool(QFile &)> &fill,
                     const QByteArray *expected)
{
    QTemporaryFile file(path + QStringLiteral(".XXXXXX"));
    if (!file.open())
        return false;
    // QSaveFile::commit() reports success after a buffered write failed on a full disk; every
    // step here is checked instead.
    const bool written = fill(file) && file.flush() && ::fsync(file.handle()) == 0;
    file.close();
    bool same = written && file.error() == QFileDevice::NoError;
    if (same && expected) {
        QFile back(file.fileName());
        same = back.open(QIODevice::ReadOnly) && back.readAll() == *expected && back.error() == QFileDevice::NoError;
    }
    if (same && QFileInfo::exists(target))
        QFile::setPermissions(file.fileName(), QFileInfo(target).permissions());
    if (!same ||
        std::rename(QFile::encodeName(file.fileName()).constData(), QFile::encodeName(target).constData()) != 0)
        return false; // the temporary file removes itself
    file.setAutoRemove(false);
    syncFolderOf(target);
    return true;
}

class DiskSettingsFiles final : public SettingsFiles {
public:
    QString userPath() override { return userSettingsPath(); }
    QStringList machinePaths() override { return machineSettingsPaths(); }
    Found read(const QString &path, qsizetype limit, QByteArray &bytes) override
    {
        const QFileInfo info(path);
        if (!info.exists())
            return Found::Missing;
        if (!info.isFile())
            return Found::Unreadable;
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return Found::Unreadable;
        bytes = file.read(limit + 1);
        return file.error() == QFileDevice::NoError ? Found::Read : Found::Unreadable;
    }
    bool makeFolderFor(const QString &path) override { return QDir().mkpath(QFileInfo(path).absolutePath()); }
    bool replace(const QString &path, const QByteArray &bytes) override
    {
        return writeThenRename(
            path, path, [&bytes](QFile &file) { return file.write(bytes) == bytes.size(); }, &bytes);
    }
    bool keepAside(const QString &path) override
    {
        QString target = path + QStringLiteral(".bad");
        for (int n = 1; QFileInfo(target).exists() && !QFileInfo(target).isFile(); ++n) {
            if (n > 9)
                return false;
            target = path + QStringLiteral(".bad.%1").arg(n);
        }
        // A second name for the same bytes costs no room on a full disk; where the file system
        // has no such names, a copy is streamed, for the file may be of any size.
        const QString linked = target + QStringLiteral(".new");
        QFile::remove(linked);
        if (::link(QFile::encodeName(path).constData(), QFile::encodeName(linked).constData()) == 0) {
            if (std::rename(QFile::encodeName(linked).constData(), QFile::encodeName(target).constData()) == 0) {
                syncFolderOf(target);
                return true;
            }
            QFile::remove(linked);
            return false;
        }
        QFile source(path);
        if (!source.open(QIODevice::ReadOnly))
            return false;
        const qint64 size = source.size();
        return writeThenRename(
            path, target,
            [&source, size](QFile &file) {
                qint64 copied = 0;
                while (!source.atEnd()) {
                    const QByteArray chunk = source.read(64 * 1024);
                    if (source.error() != QFileDevice::NoError || file.write(chunk) != chunk.size())
                        return false;
                    copied += chunk.size();
                }
                return copied == size;
            },
            nullptr);
    }
    bool lock(const QString &path) override
    {
        lock_ = std::make_unique<QLockFile>(path + QStringLiteral(".lock"));
        // A save takes milliseconds; a lock left by a program that died is taken over at once
        // (QLockFile sees that its process is gone), one left by a hung one after 10 s; a
        // file that cannot be made (a read-only folder) fails at once.
        lock_->setStaleLockTime(10000);
        // Asked every 10 ms: QLockFile's own wait doubles its naps (100 ms, 200 ms, ... 3.2 s),
        // so a writer that came second could sleep through every gap that a busy first one
        // leaves and fail at its time-out.
        QDeadlineTimer deadline(10000);
        while (!lock_->tryLock(0)) {
            if (lock_->error() != QLockFile::LockFailedError || deadline.hasExpired()) {
                lock_.reset();
                return false;
            }
            QThread::msleep(10);
        }
        return true;
    }
    void unlock() override { lock_.reset(); }

private:
    std::unique_ptr<QLockFile> lock_;
};

class IniSettingsStore final : public SettingsStore {
public:
    explicit IniSettingsStore(std::shared_ptr<SettingsFiles> files) : files_(std::move(files)) {}
    ~IniSettingsStore() override { close(); }

    bool openForRead() override
    {
        close();
        QByteArray bytes;
        switch (files_->read(files_->userPath(), SettingsText::kLargest, bytes)) {
        case SettingsFiles::Found::Missing:
            break;
        case SettingsFiles::Found::Read:
            user_.emplace(std::move(bytes));
            if (user_->usable())
                break;
            [[fallthrough]];
        case SettingsFiles::Found::Unreadable:
            // A user file that cannot be used counts as no key at all, defaults included.
            user_.reset();
            return false;
        }
        for (const QString &machinePath : files_->machinePaths()) {
            if (files_->read(machinePath, SettingsText::kLargest, bytes) != SettingsFiles::Found::Read)
                continue;
            SettingsText text(std::move(bytes));
            if (text.usable())
                defaults_.push_back(std::move(text));
        }
        return user_ || !defaults_.empty();
    }

    bool openForWrite() override
    {
        close();
        const QString path = files_->userPath();
        if (!files_->makeFolderFor(path))
            return false;
        QByteArray bytes;
        if (files_->read(path, SettingsText::kLargest, bytes) == SettingsFiles::Found::Unreadable)
            return false; // what cannot be judged is never written over
        path_ = path;
        return true;
    }

    void close() override
    {
        user_.reset();
        defaults_.clear();
        path_.clear();
    }

    bool exists(const QString &name) override { return holder(name) != nullptr; }

    bool readInt(const QString &name, std::int32_t &value) override
    {
        const SettingsText *file = holder(name);
        bool ok = false;
        const qlonglong number = file ? file->text(name)->toLongLong(&ok, 10) : 0;
        // 32 bits, as a signed or unsigned number; kept as its two's-complement value.
        if (!ok || number < INT32_MIN || number > qlonglong(UINT32_MAX))
            return false;
        value = static_cast<std::int32_t>(static_cast<std::uint32_t>(number));
        return true;
    }

    bool readString(const QString &name, QString &value) override
    {
        const SettingsText *file = holder(name);
        if (!file)
            return false;
        value = *file->text(name);
        return true;
    }

    bool writeInt(const QString &name, std::int32_t value) override { return write(name, QString::number(value)); }
    bool writeString(const QString &name, const QString &value) override { return write(name, value); }

private:
    // Each value reaches the disk before the next is written, so a failure leaves the earlier
    // ones stored, as with a registry key. Under the lock the file is read afresh and only this
    // value changes in it: what another program saved meanwhile stays.
    bool write(const QString &name, const QString &text)
    {
        if (path_.isEmpty() || !files_->lock(path_))
            return false;
        struct Unlock {
            SettingsFiles &files;
            ~Unlock() { files.unlock(); }
        } unlock{*files_};
        QByteArray bytes;
        SettingsText file;
        bool keepAside = false;
        switch (files_->read(path_, SettingsText::kLargest, bytes)) {
        case SettingsFiles::Found::Missing:
            break;
        case SettingsFiles::Found::Unreadable:
            return false;
        case SettingsFiles::Found::Read:
            file = SettingsText(std::move(bytes));
            if (!file.usable()) {
                // Loading took it for a missing key; saving starts afresh, but keeps it aside.
                file = SettingsText();
                keepAside = true;
            }
            break;
        }
        // A value that already reads as this text keeps its bytes as the person wrote them.
        if (!keepAside && file.text(name) == text) {
            user_ = std::move(file);
            return true;
        }
        if (!file.setText(name, text) || (keepAside && !files_->keepAside(path_)) ||
            !files_->replace(path_, file.bytes()))
            return false;
        user_ = std::move(file);
        return true;
    }

    const SettingsText *holder(const QString &name) const
    {
        if (user_ && user_->contains(name))
            return &*user_;
        for (const SettingsText &file : defaults_) {
            if (file.contains(name))
                return &file;
        }
        return nullptr;
    }

    std::shared_ptr<SettingsFiles> files_;
    std::optional<SettingsText> user_;
    std::vector<SettingsText> defaults_; // machine-wide, read only
    QString path_;                       // the user file, while open for writing
};

} // namespace

std::unique_ptr<SettingsStore> makeIniSettingsStore(std::shared_ptr<SettingsFiles> files)
{
    return std::make_unique<IniSettingsStore>(std::move(files));
}

std::unique_ptr<SettingsStore> makePlatformSettingsStore()
{
    return makeIniSettingsStore(std::make_shared<DiskSettingsFiles>());
}

} // namespace relvix
