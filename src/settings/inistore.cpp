#include "settings/inistore.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QTemporaryFile>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <sys/file.h>
#include <sys/stat.h>
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

// A value's bytes as Qt's reader unescapes them: quotes, backslash escapes (named, \x hex digits
// and \0 to \7 octal ones, which run on as long as they come and wrap at 16 bits, and escaped
// line breaks, which join lines), and commas outside quotes,
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
            } else if (!named && e >= '0' && e <= '7') {
                // Octal digits, as many as come, wrapping at 16 bits like the hex ones.
                std::uint32_t code = std::uint32_t(e - '0');
                for (; i < size && raw[i] >= '0' && raw[i] <= '7'; ++i)
                    code = ((code << 3) | std::uint32_t(raw[i] - '0')) & 0xFFFFu;
                text += QChar(char16_t(code));
            } else if (!named && (e == '\n' || e == '\r')) {
                // An escaped line break joins the lines; its partner of a CRLF or LFCR pair goes too.
                if (i < size && (raw[i] == '\n' || raw[i] == '\r') && raw[i] != e)
                    ++i;
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

// What Qt's INI reader skips before a line: blanks and line breaks, not \v or \f.
bool isLineSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Lines as Qt's INI reader splits them: a line ends at a line break or a ';' outside quotes; a
// backslash takes the byte after it (a line break too, with its partner of a CRLF or LFCR pair),
// so a line ending in a backslash runs on, and so does one with an open quote. A line that
// begins with ';' is a comment to the end of its line, quotes and backslashes included. '#' is
// no comment to Qt: a line so begun is a line like any other.
void SettingsText::parse()
{
    lines_.clear();
    endsTopLevel_ = true;
    endsOpen_ = false;
    usable_ = bytes_.size() <= kLargest && !bytes_.contains('\0');
    if (!usable_)
        return;
    // Skipped once, as Qt does from 6.5 on; a second mark belongs to the first line.
    bodyBegin_ = bytes_.startsWith(kByteOrderMark) ? kByteOrderMark.size() : 0;
    const char *const d = bytes_.constData();
    const qsizetype size = bytes_.size();
    bool topLevel = true;
    qsizetype pos = bodyBegin_;
    for (;;) {
        while (pos < size && isLineSpace(d[pos]))
            ++pos;
        if (pos >= size)
            break;
        Line line;
        line.begin = pos;
        qsizetype i = pos;
        if (d[i] == ';') {
            while (i < size && d[i] != '\n' && d[i] != '\r')
                ++i;
            line.end = i;
            lines_.push_back(line);
            pos = i;
            continue;
        }
        bool inQuotes = false;
        qsizetype equals = -1;
        bool escapedAtEnd = false; // the last byte of the file was taken by a backslash
        while (i < size) {
            const char c = d[i];
            if ((c == '\n' || c == '\r' || c == ';') && !inQuotes)
                break;
            ++i;
            if (c == '=' && !inQuotes && equals < 0) {
                equals = i - 1;
            } else if (c == '"') {
                inQuotes = !inQuotes;
            } else if (c == '\\') {
                if (i >= size) {
                    escapedAtEnd = true;
                    break;
                }
                const char e = d[i++];
                if (i < size && ((e == '\n' && d[i] == '\r') || (e == '\r' && d[i] == '\n')))
                    ++i;
                escapedAtEnd = i >= size && (e == '\n' || e == '\r');
            }
        }
        line.end = i;
        if (i >= size)
            endsOpen_ = inQuotes || escapedAtEnd;
        if (d[line.begin] == '[') {
            // The section's name runs to ']', or to the end of a line without one.
            qsizetype close = line.begin + 1;
            while (close < line.end && d[close] != ']')
                ++close;
            const QByteArray name = bytes_.mid(line.begin + 1, close - line.begin - 1).trimmed();
            topLevel = name.compare("general", Qt::CaseInsensitive) == 0;
            line.section = true;
            line.topLevel = topLevel;
        } else if (equals >= 0) {
            line.entry = true;
            line.topLevel = topLevel;
            line.keyBegin = line.begin;
            line.keyEnd = equals;
            while (line.keyEnd > line.keyBegin && isAsciiSpace(d[line.keyEnd - 1]))
                --line.keyEnd;
            while (line.keyBegin < line.keyEnd && isAsciiSpace(d[line.keyBegin]))
                ++line.keyBegin;
            line.valueBegin = equals + 1;
            line.valueEnd = line.end;
        }
        lines_.push_back(line);
        pos = i;
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
    } else if (!endsOpen_) {
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

QString systemWords(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// A save run as root (sudo, to reach a serial port) made every file it wrote root's, and the
// user's next start read the built-ins and every later save failed. As root, a file that
// replaces another takes that one's owner and group, and a new file in a folder takes the
// folder's, so one root run leaves the user's files the user's. Other users cannot give files
// away, and need not.
void ownLike(int fd, const QString &model)
{
    if (::geteuid() != 0)
        return;
    struct stat st {};
    if (::stat(QFile::encodeName(model).constData(), &st) == 0 && ::fchown(fd, st.st_uid, st.st_gid) != 0) {
        // A file system without owners (a FAT stick) keeps root's; nothing better can be done.
    }
}

void ownPathLike(const QString &path, const QString &model)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0) {
        ownLike(fd, model);
        ::close(fd);
    }
}

// Where a save must write: a symbolic link is followed to the file it names (which need not
// exist yet), so that a Relvix.conf kept elsewhere and linked in stays where it is.
QString resolved(const QString &path)
{
    QString at = path;
    for (int hops = 0; hops < 40; ++hops) {
        const QFileInfo info(at);
        if (!info.isSymLink())
            return at;
        at = info.symLinkTarget();
    }
    return path; // a loop: the rename then replaces the link itself, as before
}

// A save killed between making its new file and renaming it leaves that file behind, under the
// name QTemporaryFile gave it: the file's name, a dot and six letters or digits. The next save
// removes them; it holds the lock, so none of them is another save's work in progress. A name a
// person would give ("Relvix.conf.backup", all small letters) stays: one of the random names in
// 180 is of that kind too, and is left.
void removeLeftovers(const QString &target)
{
    const QFileInfo info(target);
    const QString stem = info.fileName() + QLatin1Char('.');
    QDir folder = info.absoluteDir();
    for (const QString &name : folder.entryList({stem + QStringLiteral("??????")}, QDir::Files | QDir::Hidden)) {
        const QStringView tail = QStringView(name).sliced(stem.size());
        const bool random =
            std::all_of(tail.begin(), tail.end(), [](QChar c) { return c.isLetterOrNumber() && c.unicode() < 0x80; }) &&
            std::any_of(tail.begin(), tail.end(), [](QChar c) { return !c.isLower(); });
        if (random)
            folder.remove(name);
    }
}

// Writes a new file beside target, from `fill`, and renames it to target once every byte is on
// the disk and reads back as `expected` (when given). False, with nothing changed, otherwise.
// The new file gets the mode, owner and group of the file it replaces, or those a new file in
// that folder should have.
bool writeThenRename(const QString &target, const std::function<bool(QFile &)> &fill, const QByteArray *expected,
                     QString &failure)
{
    QTemporaryFile file(target + QStringLiteral(".XXXXXX"));
    if (!file.open()) {
        failure = QStringLiteral("cannot make a new file beside %1: %2").arg(target, file.errorString());
        return false;
    }
    // QSaveFile::commit() reports success after a buffered write failed on a full disk; every
    // step here is checked instead.
    const bool existed = QFileInfo::exists(target);
    ownLike(file.handle(), existed ? target : QFileInfo(target).absolutePath());
    const bool written = fill(file) && file.flush() && ::fsync(file.handle()) == 0;
    const int writeError = errno;
    file.close();
    bool same = written && file.error() == QFileDevice::NoError;
    if (same && expected) {
        QFile back(file.fileName());
        same = back.open(QIODevice::ReadOnly) && back.readAll() == *expected && back.error() == QFileDevice::NoError;
    }
    if (!same) {
        failure = QStringLiteral("cannot write %1: %2")
                      .arg(target, file.error() != QFileDevice::NoError ? file.errorString() : systemWords(writeError));
        return false; // the temporary file removes itself
    }
    if (existed)
        QFile::setPermissions(file.fileName(), QFileInfo(target).permissions());
    if (std::rename(QFile::encodeName(file.fileName()).constData(), QFile::encodeName(target).constData()) != 0) {
        failure = QStringLiteral("cannot replace %1: %2").arg(target, systemWords(errno));
        return false;
    }
    file.setAutoRemove(false);
    syncFolderOf(target);
    return true;
}

// A lock that the system lets go of when its holder ends, however it ends: a save killed while
// it held the old lock file made the next one wait for it to turn stale, up to 10 s, and the
// window saves on its only thread. The file itself stays; only the lock on it comes and goes.
class FileLock {
public:
    // A save takes milliseconds; a holder that takes longer than this is hung or stopped.
    static constexpr int kWaitMs = 2000;

    ~FileLock() { release(); }

    bool take(const QString &path, QString &failure)
    {
        release();
        const QByteArray name = QFile::encodeName(path);
        const QString folder = QFileInfo(path).absolutePath();
        const QDeadlineTimer deadline(kWaitMs);
        bool replaced = false;
        for (;;) {
            int fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
            if (fd < 0 && errno == EACCES)
                fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC); // flock needs no right to write
            if (fd < 0 && errno == EACCES && !replaced) {
                // Another user's lock file (left by an older version run as root) that this user
                // may not even read: the folder is the user's, so it is made anew.
                replaced = true;
                if (::unlink(name.constData()) == 0)
                    continue;
            }
            if (fd < 0) {
                failure = QStringLiteral("cannot open the lock file %1: %2").arg(path, systemWords(errno));
                return false;
            }
            ownLike(fd, folder);
            while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
                if ((errno != EWOULDBLOCK && errno != EINTR) || deadline.hasExpired()) {
                    failure = errno == EWOULDBLOCK ? QStringLiteral("another program holds the lock %1 (waited %2 s)")
                                                         .arg(path)
                                                         .arg(kWaitMs / 1000)
                                                   : QStringLiteral("cannot lock %1: %2").arg(path, systemWords(errno));
                    ::close(fd);
                    return false;
                }
                // Asked every 10 ms rather than in a blocking call, so that the wait has its bound.
                QThread::msleep(10);
            }
            // The lock counts only on the file that has the name now: one removed and made anew
            // by another save (above) while this one waited is let go and the new one taken.
            struct stat held {
            }, named{};
            if (::fstat(fd, &held) == 0 && ::stat(name.constData(), &named) == 0 && held.st_ino == named.st_ino &&
                held.st_dev == named.st_dev) {
                fd_ = fd;
                return true;
            }
            ::close(fd);
        }
    }
    void release()
    {
        if (fd_ >= 0)
            ::close(fd_); // closing the only descriptor lets the lock go
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

// Makes the folders up to path's, each, as root, owned like the folder it is made in.
bool makeFolders(const QString &folder)
{
    QStringList missing;
    QString at = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
    while (!QFileInfo(at).exists()) {
        missing.prepend(at);
        const QString parent = QFileInfo(at).absolutePath();
        if (parent == at)
            break;
        at = parent;
    }
    for (const QString &made : std::as_const(missing)) {
        if (!QDir().mkdir(made) && !QFileInfo(made).isDir())
            return false;
        ownPathLike(made, QFileInfo(made).absolutePath());
    }
    return QFileInfo(folder).isDir();
}

class DiskSettingsFiles final : public SettingsFiles {
public:
    QString userPath() override { return userSettingsPath(); }
    QStringList machinePaths() override { return machineSettingsPaths(); }
    Found read(const QString &path, qsizetype limit, QByteArray &bytes) override
    {
        const QFileInfo info(path);
        if (!info.exists())
            return Found::Missing; // a link to a file not yet made too: a save makes it there
        if (!info.isFile()) {
            failure_ = QStringLiteral("%1 is not a file").arg(path);
            return Found::Unreadable;
        }
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            failure_ = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
            return Found::Unreadable;
        }
        bytes = file.read(limit + 1);
        if (file.error() == QFileDevice::NoError)
            return Found::Read;
        failure_ = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return Found::Unreadable;
    }
    bool makeFolderFor(const QString &path) override
    {
        const QString folder = QFileInfo(path).absolutePath();
        if (makeFolders(folder))
            return true;
        failure_ = QStringLiteral("cannot make the folder %1").arg(folder);
        return false;
    }
    bool replace(const QString &path, const QByteArray &bytes) override
    {
        const QString target = resolved(path);
        removeLeftovers(target);
        return writeThenRename(
            target, [&bytes](QFile &file) { return file.write(bytes) == bytes.size(); }, &bytes, failure_);
    }
    bool keepAside(const QString &path) override
    {
        const QString source = resolved(path);
        QString target = path + QStringLiteral(".bad");
        for (int n = 1; QFileInfo(target).exists() && !QFileInfo(target).isFile(); ++n) {
            if (n > 9) {
                failure_ = QStringLiteral("no free name to keep %1 aside").arg(path);
                return false;
            }
            target = path + QStringLiteral(".bad.%1").arg(n);
        }
        // A second name for the same bytes costs no room on a full disk; where the file system
        // has no such names, a copy is streamed, for the file may be of any size.
        const QString linked = target + QStringLiteral(".new");
        QFile::remove(linked);
        if (::link(QFile::encodeName(source).constData(), QFile::encodeName(linked).constData()) == 0) {
            if (std::rename(QFile::encodeName(linked).constData(), QFile::encodeName(target).constData()) == 0) {
                syncFolderOf(target);
                return true;
            }
            failure_ = QStringLiteral("cannot keep %1 aside: %2").arg(path, systemWords(errno));
            QFile::remove(linked);
            return false;
        }
        QFile from(source);
        if (!from.open(QIODevice::ReadOnly)) {
            failure_ = QStringLiteral("cannot read %1: %2").arg(source, from.errorString());
            return false;
        }
        const qint64 size = from.size();
        return writeThenRename(
            target,
            [&from, size](QFile &file) {
                qint64 copied = 0;
                while (!from.atEnd()) {
                    const QByteArray chunk = from.read(64 * 1024);
                    if (from.error() != QFileDevice::NoError || file.write(chunk) != chunk.size())
                        return false;
                    copied += chunk.size();
                }
                return copied == size;
            },
            nullptr, failure_);
    }
    bool lock(const QString &path) override { return lock_.take(path + QStringLiteral(".lock"), failure_); }
    void unlock() override { lock_.release(); }
    QString failure() const override { return failure_; }

private:
    FileLock lock_;
    QString failure_;
};

class IniSettingsStore final : public SettingsStore {
public:
    explicit IniSettingsStore(std::shared_ptr<SettingsFiles> files) : files_(std::move(files)) {}
    ~IniSettingsStore() override { close(); }

    bool openForRead() override
    {
        close();
        failure_.clear();
        QByteArray bytes;
        const QString path = files_->userPath();
        switch (files_->read(path, SettingsText::kLargest, bytes)) {
        case SettingsFiles::Found::Missing:
            break;
        case SettingsFiles::Found::Read:
            user_.emplace(std::move(bytes));
            if (user_->usable())
                break;
            failure_ = QStringLiteral("%1 is not a settings file (a zero byte, or larger than %2 MB)")
                           .arg(path)
                           .arg(SettingsText::kLargest / (1024 * 1024));
            [[fallthrough]];
        case SettingsFiles::Found::Unreadable:
            // A user file that cannot be used counts as no key at all, defaults included.
            if (failure_.isEmpty())
                failure_ = files_->failure();
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
        failure_.clear();
        const QString path = files_->userPath();
        if (!files_->makeFolderFor(path))
            return fail();
        QByteArray bytes;
        if (files_->read(path, SettingsText::kLargest, bytes) == SettingsFiles::Found::Unreadable)
            return fail(); // what cannot be judged is never written over
        path_ = path;
        return true;
    }

    void close() override
    {
        user_.reset();
        defaults_.clear();
        path_.clear();
    }

    QString failure() const override { return failure_; }

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
        if (path_.isEmpty())
            return false;
        if (!files_->lock(path_))
            return fail();
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
            return fail();
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
        if (!file.setText(name, text)) {
            failure_ =
                QStringLiteral("%1 would grow past %2 MB").arg(path_).arg(SettingsText::kLargest / (1024 * 1024));
            return false;
        }
        if ((keepAside && !files_->keepAside(path_)) || !files_->replace(path_, file.bytes()))
            return fail();
        user_ = std::move(file);
        return true;
    }

    bool fail()
    {
        failure_ = files_->failure();
        return false;
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
    QString failure_;                    // why the latest open or write failed
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
