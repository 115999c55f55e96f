#include "settings/inistore.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPoint>
#include <QRect>
#include <QSaveFile>
#include <QSize>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QVarLengthArray>
#include <algorithm>
#include <cstring>
#include <optional>

namespace relvix {

namespace {

const QString kRelativePath = QStringLiteral("Kavrel/Relvix.conf");

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

// INI text as Qt's reader (qsettings.cpp, Qt 6.4) takes it. Where its rules are odd, they are
// kept: a file must read here exactly as it reads in any other Qt program.

bool isLineSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// What QByteArray::trimmed() takes for white space.
bool isAsciiSpace(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

QByteArrayView trimmed(QByteArrayView text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isAsciiSpace(text[begin]))
        ++begin;
    while (end > begin && isAsciiSpace(text[end - 1]))
        --end;
    return text.sliced(begin, end - begin);
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

// One line as the reader cuts them: it ends at a line break, or at a ';' outside quotes; it runs
// on over line breaks inside quotes and over the byte after a backslash; ';' comment lines
// before it are skipped. equals is the first '=' outside quotes, or -1.
struct IniLine {
    qsizetype begin = 0;
    qsizetype end = 0;
    qsizetype equals = -1;
    bool open = false; // it ran to the end of the text in quotes, or with a backslash escape
};

// The first of the given bytes at or after from (at most size), or size. data[size] must be a
// zero byte, as in a QByteArray of its own; zero bytes before it are ordinary text. strcspn
// scans in bulk.
qsizetype findAny(const char *data, qsizetype from, qsizetype size, const char *bytes)
{
    for (;;) {
        from += qsizetype(std::strcspn(data + from, bytes)); // stops at a byte sought or a zero
        if (data[from] != '\0' || from >= size)
            return from;
        ++from;
    }
}

// text must end in a zero byte (see findAny).
bool nextIniLine(QByteArrayView text, qsizetype &pos, IniLine &line)
{
    const char *data = text.data();
    const qsizetype size = text.size();
    qsizetype begin = pos;
    while (begin < size && isLineSpace(data[begin]))
        ++begin;
    qsizetype equals = -1;
    bool inQuotes = false;
    bool escapedToEnd = false;
    qsizetype i = begin;
    while ((i = findAny(data, i, size, "\n\r\";=\\")) < size) {
        const char c = data[i++];
        if (c == '=') {
            if (!inQuotes && equals < 0)
                equals = i - 1;
        } else if (c == '\n' || c == '\r') {
            if (i == begin + 1) {
                ++begin;
            } else if (!inQuotes) {
                --i;
                break;
            }
        } else if (c == '\\') {
            // "\r\n" and "\n\r" after a backslash count as one line break.
            if (i < size) {
                const char next = data[i++];
                if (i < size && ((next == '\n' && data[i] == '\r') || (next == '\r' && data[i] == '\n')))
                    ++i;
            }
            escapedToEnd = i >= size;
        } else if (c == '"') {
            inQuotes = !inQuotes;
        } else if (i == begin + 1) { // ';' opening a comment line
            i = findAny(data, i, size, "\n\r");
            while (i < size && isLineSpace(data[i]))
                ++i;
            begin = i;
        } else if (!inQuotes) { // ';' ending a line
            --i;
            break;
        }
    }
    const bool atEnd = i >= size;
    i = std::min(i, size);
    pos = i;
    line = {begin, i, equals, atEnd && (inQuotes || escapedToEnd)};
    return i > begin;
}

// A name as the reader spells it: '\' stands for '/', "%XX" and "%UXXXX" for one character.
QString unescapedKey(QByteArrayView key)
{
    const QString text = QString::fromUtf8(key);
    QString result;
    result.reserve(text.size());
    qsizetype i = 0;
    while (i < text.size()) {
        const QChar c = text[i];
        if (c == u'\\') {
            result += u'/';
            ++i;
            continue;
        }
        if (c != u'%' || i == text.size() - 1) {
            result += c;
            ++i;
            continue;
        }
        qsizetype first = i + 1;
        qsizetype digits = 2;
        if (text[first] == u'U') {
            ++first;
            digits = 4;
        }
        bool ok = false;
        const ushort code =
            first + digits <= text.size() ? QStringView(text).sliced(first, digits).toUShort(&ok, 16) : 0;
        if (!ok) {
            result += u'%';
            ++i;
            continue;
        }
        result += QChar(code);
        i = first + digits;
    }
    return result;
}

// Whether a "[...]" line opens the top level: [General] in any case, blanks around it allowed.
// closed tells whether the ']' is there at all.
bool opensTopLevel(QByteArrayView header, bool &closed)
{
    qsizetype close = 1;
    while (close < header.size() && header[close] != ']')
        ++close;
    closed = close < header.size();
    const QByteArrayView name = trimmed(header.sliced(1, close - 1));
    return name.size() == 7 && qstrnicmp(name.data(), 7, "general", 7) == 0;
}

// Whether a name as written spells name (nameIsAscii: whether name is). Unescaping never makes
// a name longer, and only "%XX", "%UXXXX" and a leading byte-order mark (which the UTF-8 decoder
// drops) can give an ASCII name from a longer one; so most names are told apart by their length,
// and a plain one compares without being decoded.
bool spells(QByteArrayView written, const QString &name, bool nameIsAscii)
{
    if (written.size() < name.size())
        return false;
    if (nameIsAscii && !std::memchr(written.data(), '%', size_t(written.size())) &&
        !written.startsWith("\xEF\xBB\xBF")) {
        if (written.size() != name.size())
            return false;
        if (!std::memchr(written.data(), '\\', size_t(written.size())))
            return name == QLatin1StringView(written.data(), written.size());
    }
    return unescapedKey(written) == name;
}

void chopTrailingBlanks(QString &text, qsizetype limit)
{
    qsizetype n = text.size();
    while (n > limit && (text[n - 1] == u' ' || text[n - 1] == u'\t'))
        --n;
    text.truncate(n);
}

// Decodes into text's own buffer, without a string for each piece.
void appendUtf8(QStringDecoder &utf8, QString &text, QByteArrayView bytes)
{
    const qsizetype at = text.size();
    text.resize(at + utf8.requiredSpace(bytes.size()));
    const QChar *end = utf8.appendToBuffer(text.data() + at, bytes);
    text.truncate(end - text.constData());
}

// A value's bytes as the reader unescapes them: quotes, backslash escapes (named, octal, \x hex),
// and commas outside quotes, which make a list. UTF-8 runs go through one decoder, so a sequence
// split by an escape still joins. True when the value is a list (then in list).
bool unescapedValue(QByteArrayView raw, QString &text, QStringList &list)
{
    static constexpr char kNamed[][2] = {{'a', '\a'}, {'b', '\b'}, {'f', '\f'}, {'n', '\n'},  {'r', '\r'}, {'t', '\t'},
                                         {'v', '\v'}, {'"', '"'},  {'?', '?'},  {'\'', '\''}, {'\\', '\\'}};
    QStringDecoder utf8(QStringDecoder::Utf8);
    const auto has = [&raw](char c) { return std::memchr(raw.data(), c, size_t(raw.size())) != nullptr; };
    if (!has('\\') && !has('"') && !has(',')) {
        // Most values: plain text between blanks.
        qsizetype begin = 0;
        while (begin < raw.size() && (raw[begin] == ' ' || raw[begin] == '\t'))
            ++begin;
        appendUtf8(utf8, text, raw.sliced(begin));
        chopTrailingBlanks(text, 0);
        return false;
    }
    text.reserve(raw.size() + 4); // a byte gives at most one unit, but for a sequence split by an escape
    bool isList = false;
    bool inQuotes = false;
    bool quoted = false;
    qsizetype i = 0;
    const qsizetype size = raw.size();
    const char *const data = raw.data();
    const auto skipBlanks = [&] {
        while (i < size && (data[i] == ' ' || data[i] == '\t'))
            ++i;
    };
    skipBlanks();
    qsizetype chopLimit = text.size(); // blanks before this came from escapes or quotes and stay
    for (;;) {
        if (i >= size) {
            if (!quoted)
                chopTrailingBlanks(text, chopLimit);
            break;
        }
        const char c = data[i];
        if (c == '\\') {
            if (++i >= size)
                break; // a backslash at the very end: nothing more, not even trimming
            const char e = data[i++];
            bool named = false;
            for (const auto &pair : kNamed) {
                if (e == pair[0]) {
                    text += QLatin1Char(pair[1]);
                    named = true;
                    break;
                }
            }
            if (!named && ((e == 'x' && i < size && hexValue(data[i]) >= 0) || (e >= '0' && e <= '7'))) {
                // Digits run on as long as they come; the value wraps at 16 bits.
                const int base = e == 'x' ? 16 : 8;
                char16_t code = e == 'x' ? 0 : char16_t(e - '0');
                for (;;) {
                    const int digit = i < size ? hexValue(data[i]) : -1;
                    if (digit < 0 || digit >= base)
                        break;
                    code = char16_t(code * base + digit);
                    ++i;
                }
                text += QChar(code);
                if (i >= size)
                    break;
            } else if (!named && e == 'x' && i >= size) {
                break;
            } else if (!named && (e == '\n' || e == '\r')) {
                if (i < size && (data[i] == '\n' || data[i] == '\r') && data[i] != e)
                    ++i;
            }
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
            isList = true;
            list.append(text);
            text.clear();
            quoted = false;
            ++i;
            skipBlanks();
            chopLimit = text.size();
        } else {
            qsizetype j = i + 1;
            while (j < size && data[j] != '\\' && data[j] != '"' && data[j] != ',')
                ++j;
            appendUtf8(utf8, text, raw.sliced(i, j - i));
            i = j;
        }
    }
    if (isList)
        list.append(text);
    return isList;
}

// "@Rect(1 2 3 4)" and the like: the words between the parenthesis at open and the end.
QStringList splitArgs(const QString &text, qsizetype open)
{
    QStringList args;
    QString word;
    for (qsizetype i = open + 1; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == u')') {
            args.append(word); // a ')' before the end does not start a new word
        } else if (c == u' ') {
            args.append(word);
            word.clear();
        } else {
            word += c;
        }
    }
    return args;
}

// A text as the reader types it: "@@" stands for a leading '@', and "@Type(...)" for a value
// of that type.
QVariant typedValue(const QString &text)
{
    if (!text.startsWith(u'@'))
        return text;
    if (text.endsWith(u')')) {
        if (text.startsWith(QLatin1String("@ByteArray(")))
            return QStringView(text).sliced(11).chopped(1).toLatin1();
        if (text.startsWith(QLatin1String("@String(")))
            return QStringView(text).sliced(8).chopped(1).toString();
        if (text.startsWith(QLatin1String("@Variant(")) || text.startsWith(QLatin1String("@DateTime("))) {
            const bool dateTime = text.at(1) == u'D';
            QByteArray data = QStringView(text).sliced(dateTime ? 10 : 9).toLatin1();
            QDataStream stream(&data, QIODevice::ReadOnly);
            stream.setVersion(dateTime ? QDataStream::Qt_5_6 : QDataStream::Qt_4_0);
            QVariant result;
            stream >> result;
            return result;
        }
        if (text.startsWith(QLatin1String("@Rect("))) {
            const QStringList a = splitArgs(text, 5);
            if (a.size() == 4)
                return QRect(a[0].toInt(), a[1].toInt(), a[2].toInt(), a[3].toInt());
        } else if (text.startsWith(QLatin1String("@Size("))) {
            const QStringList a = splitArgs(text, 5);
            if (a.size() == 2)
                return QSize(a[0].toInt(), a[1].toInt());
        } else if (text.startsWith(QLatin1String("@Point("))) {
            const QStringList a = splitArgs(text, 6);
            if (a.size() == 2)
                return QPoint(a[0].toInt(), a[1].toInt());
        } else if (text == QLatin1String("@Invalid()")) {
            return QVariant();
        }
    }
    if (text.startsWith(QLatin1String("@@")))
        return text.sliced(1);
    return text;
}

QVariant typedList(const QStringList &list)
{
    QStringList texts = list;
    for (QString &text : texts) {
        if (!text.startsWith(u'@'))
            continue;
        if (text.size() < 2 || text[1] != u'@') {
            // One typed item makes the whole list a list of typed values.
            QVariantList values;
            for (const QString &item : list)
                values.append(typedValue(item));
            return values;
        }
        text.remove(0, 1);
    }
    return texts;
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
    entries_.clear();
    lastName_.clear();
    lastWinner_ = -1;
    usable_ = bytes_.size() <= kLargest;
    if (!usable_)
        return;
    // The scan relies on the zero byte after the data. Only an array made with fromRawData, which
    // has no capacity of its own, may lack it.
    if (bytes_.capacity() == 0)
        bytes_ = QByteArray(bytes_.constData(), bytes_.size());
    // Qt 6.4 takes a byte-order mark for part of the first line; later versions skip it.
    bodyBegin_ = bytes_.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    const char *const data = bytes_.constData();
    Span section;
    bool topLevel = true;
    qsizetype pos = bodyBegin_;
    IniLine line;
    openEnd_ = false;
    // Each entry has an '=': counting them first saves growing the list line by line.
    qsizetype equalSigns = 0;
    for (const char *at = data;
         (at = static_cast<const char *>(std::memchr(at, '=', size_t(data + bytes_.size() - at)))); ++at)
        ++equalSigns;
    entries_.reserve(size_t(equalSigns));
    while (nextIniLine(bytes_, pos, line)) {
        openEnd_ = line.open;
        const char first = data[line.begin];
        if (first == '[') {
            bool closed = false;
            topLevel = opensTopLevel(QByteArrayView(data + line.begin, line.end - line.begin), closed);
            section = {line.begin, line.end};
            usable_ = usable_ && closed;
        } else if (line.equals < 0) {
            // The reader takes a line without '=' for a format error; '#' lines are comments here.
            if (first != ';' && first != '#')
                usable_ = false;
        } else {
            qsizetype keyBegin = line.begin;
            qsizetype keyEnd = line.equals;
            while (keyBegin < keyEnd && isAsciiSpace(data[keyBegin]))
                ++keyBegin;
            while (keyEnd > keyBegin && isAsciiSpace(data[keyEnd - 1]))
                --keyEnd;
            entries_.push_back(
                {{keyBegin, keyEnd}, topLevel ? Span{} : section, {line.equals + 1, line.end}, topLevel});
        }
    }
    endsTopLevel_ = topLevel;
}

qsizetype SettingsText::winner(const QString &name) const
{
    if (name != lastName_) {
        lastWinner_ = findWinner(name);
        lastName_ = name;
    }
    return lastWinner_;
}

qsizetype SettingsText::findWinner(const QString &name) const
{
    bool nameIsAscii = true;
    for (const QChar c : name)
        nameIsAscii = nameIsAscii && c.unicode() < 0x80;
    // Sections of one name join, in file order; the last line of a name wins.
    for (qsizetype i = qsizetype(entries_.size()) - 1; i >= 0; --i) {
        if (entries_[i].topLevel && spells(view(entries_[i].key), name, nameIsAscii))
            return i;
    }
    return -1;
}

bool SettingsText::contains(const QString &name) const
{
    return usable_ && winner(name) >= 0;
}

QVariant SettingsText::value(const QString &name) const
{
    const qsizetype at = usable_ ? winner(name) : -1;
    if (at < 0)
        return QVariant();
    QString text;
    QStringList list;
    return unescapedValue(view(entries_[at].value), text, list) ? typedList(list) : typedValue(text);
}

QByteArray SettingsText::encoded(const QString &text)
{
    static constexpr char kHex[] = "0123456789abcdef";
    const char16_t *const units = reinterpret_cast<const char16_t *>(text.constData());
    const qsizetype size = text.size();
    // Room for most texts at once; a unit takes at most six bytes, checked as it goes.
    QByteArray out(size * 2 + 8, Qt::Uninitialized);
    char *o = out.data();
    bool quote = size > 0 && (units[0] == ' ' || units[size - 1] == ' ');
    // The reader takes a leading '@' for a typed value; "@@" stands for one '@'.
    if (size > 0 && units[0] == '@')
        *o++ = '@';
    bool afterHex = false; // a hex digit right after a \x escape would join it, so it is escaped too
    for (qsizetype i = 0; i < size; ++i) {
        if (out.constData() + out.size() - o < 8) {
            const qsizetype used = o - out.constData();
            out.resize(used + (size - i) * 6 + 8);
            o = out.data() + used;
        }
        const char16_t c = units[i];
        const bool joinsEscape = afterHex && hexValue(c) >= 0;
        afterHex = false;
        if (c >= 0x20 && c < 0x7F && !joinsEscape) {
            if (c == ';' || c == ',' || c == '=')
                quote = true;
            if (c == '\\' || c == '"')
                *o++ = '\\';
            *o++ = char(c);
        } else if (QChar::isHighSurrogate(c) && i + 1 < size && QChar::isLowSurrogate(units[i + 1])) {
            const char32_t code = QChar::surrogateToUcs4(c, units[++i]);
            *o++ = char(0xF0 | (code >> 18));
            *o++ = char(0x80 | ((code >> 12) & 0x3F));
            *o++ = char(0x80 | ((code >> 6) & 0x3F));
            *o++ = char(0x80 | (code & 0x3F));
        } else if (c > 0x9F && !QChar::isSurrogate(c) && c != 0xFEFF && c < 0xFFFE && !joinsEscape) {
            if (c < 0x800) {
                *o++ = char(0xC0 | (c >> 6));
            } else {
                *o++ = char(0xE0 | (c >> 12));
                *o++ = char(0x80 | ((c >> 6) & 0x3F));
            }
            *o++ = char(0x80 | (c & 0x3F));
        } else {
            // Controls, DEL and C1 controls, lone surrogates, and the byte-order mark and
            // non-characters that a UTF-8 decoder may drop, as \x escapes.
            *o++ = '\\';
            *o++ = 'x';
            bool digits = false;
            for (int shift = 12; shift >= 0; shift -= 4) {
                const int digit = (c >> shift) & 0xF;
                digits = digits || digit != 0 || shift == 0;
                if (digits)
                    *o++ = kHex[digit];
            }
            afterHex = true;
        }
    }
    out.truncate(o - out.constData());
    if (quote) {
        out.prepend('"');
        out.append('"');
    }
    return out;
}

bool SettingsText::sameApartFrom(const SettingsText &before, const QStringList &names) const
{
    if (!usable_ || !before.usable_)
        return false;
    QVarLengthArray<qsizetype, 8> skipHere;
    QVarLengthArray<qsizetype, 8> skipThere;
    for (const QString &name : names) {
        skipHere.append(winner(name));
        skipThere.append(before.winner(name));
    }
    const auto skipped = [](const QVarLengthArray<qsizetype, 8> &skip, qsizetype at) { return skip.contains(at); };
    size_t i = 0;
    size_t j = 0;
    for (;;) {
        while (skipped(skipHere, qsizetype(i)))
            ++i;
        while (skipped(skipThere, qsizetype(j)))
            ++j;
        const bool endHere = i >= entries_.size();
        const bool endThere = j >= before.entries_.size();
        if (endHere || endThere)
            return endHere && endThere;
        const Entry &a = entries_[i++];
        const Entry &b = before.entries_[j++];
        if (a.topLevel != b.topLevel || view(a.key) != before.view(b.key) ||
            view(a.section) != before.view(b.section) || view(a.value) != before.view(b.value))
            return false;
    }
}

bool SettingsText::setText(const QString &name, const QString &text)
{
    if (!usable_ || !isPlainName(name))
        return false;
    const QByteArray value = encoded(text);
    // Every span at or after from moves by delta (empty ones too: an empty value keeps its place).
    const auto shift = [this](qsizetype from, qsizetype delta) {
        for (Entry &entry : entries_) {
            for (Span *span : {&entry.key, &entry.section, &entry.value}) {
                if (span->begin >= from && !(span == &entry.section && entry.topLevel)) {
                    span->begin += delta;
                    span->end += delta;
                }
            }
        }
    };
    if (const qsizetype at = winner(name); at >= 0) {
        // The value is replaced where it stands. An encoded value cannot run into what follows
        // it, so every other line is cut as before.
        const Span old = entries_[at].value;
        const qsizetype delta = value.size() - (old.end - old.begin);
        if (bytes_.size() + delta > kLargest)
            return false;
        if (old.end == bytes_.size())
            openEnd_ = false; // the old value was what ran to the end
        bytes_.replace(old.begin, old.end - old.begin, value);
        shift(old.end, delta);
        entries_[at].value = {old.begin, old.begin + value.size()};
    } else if (!openEnd_) {
        // A new line goes last: after a line break, in a [General] section.
        QByteArray lead;
        if (!bytes_.isEmpty() && !bytes_.endsWith('\n') && !bytes_.endsWith('\r'))
            lead += '\n';
        if (!endsTopLevel_ || bytes_.isEmpty())
            lead += "[General]\n";
        const qsizetype keyBegin = bytes_.size() + lead.size();
        const qsizetype valueBegin = keyBegin + name.size() + 1;
        if (valueBegin + value.size() + 1 > kLargest)
            return false;
        bytes_.reserve(valueBegin + value.size() + 1);
        bytes_ += lead;
        bytes_ += name.toLatin1();
        bytes_ += '=';
        bytes_ += value;
        bytes_ += '\n';
        entries_.push_back({{keyBegin, valueBegin - 1}, Span{}, {valueBegin, valueBegin + value.size()}, true});
        endsTopLevel_ = true;
    } else {
        // The last line would swallow a line after it (an open quote, a final backslash), so the
        // new line goes first, which is always the top level.
        const QByteArray line = name.toLatin1() + '=' + value + '\n';
        if (bytes_.size() + line.size() > kLargest)
            return false;
        bytes_.insert(bodyBegin_, line);
        shift(bodyBegin_, line.size());
        const qsizetype valueBegin = bodyBegin_ + name.size() + 1;
        entries_.insert(entries_.begin(),
                        Entry{{bodyBegin_, valueBegin - 1}, Span{}, {valueBegin, valueBegin + value.size()}, true});
    }
    lastName_.clear(); // indices have moved
    return true;
}

namespace {

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
        QSaveFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
    }
    bool copy(const QString &from, const QString &to) override
    {
        // Streamed: an unusable file may be of any size.
        QFile source(from);
        QSaveFile target(to);
        if (!source.open(QIODevice::ReadOnly) || !target.open(QIODevice::WriteOnly))
            return false;
        while (!source.atEnd()) {
            const QByteArray chunk = source.read(64 * 1024);
            if (source.error() != QFileDevice::NoError || target.write(chunk) != chunk.size())
                return false;
        }
        return target.commit();
    }
};

QString textOf(const QVariant &stored, bool &ok)
{
    ok = true;
    switch (stored.typeId()) {
    case QMetaType::QString:
        return stored.toString();
    case QMetaType::QStringList:
        // An unquoted text with commas, as in a serial mode written by hand
        // (ComBaudRate=19200,e,8,1), is read back as the text it was.
        return stored.toStringList().join(QLatin1Char(','));
    default:
        ok = false; // byte arrays and other typed values are not a text
        return QString();
    }
}

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
        switch (files_->read(path, SettingsText::kLargest, bytes)) {
        case SettingsFiles::Found::Missing:
            user_.emplace();
            break;
        case SettingsFiles::Found::Unreadable:
            return false; // what cannot be judged is never written over
        case SettingsFiles::Found::Read:
            user_.emplace(std::move(bytes));
            if (!user_->usable()) {
                // Loading took it for a missing key; saving starts afresh, but keeps it aside.
                user_.emplace();
                keepAside_ = true;
            }
            break;
        }
        path_ = path;
        writable_ = true;
        return true;
    }

    void close() override
    {
        user_.reset();
        defaults_.clear();
        path_.clear();
        writable_ = false;
        keepAside_ = false;
    }

    bool exists(const QString &name) override { return holder(name) != nullptr; }

    bool readInt(const QString &name, std::int32_t &value) override
    {
        const SettingsText *file = holder(name);
        if (!file)
            return false;
        const QVariant stored = file->value(name);
        qlonglong number = 0;
        bool ok = false;
        switch (stored.typeId()) {
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
            number = stored.toLongLong(&ok);
            break;
        case QMetaType::QString:
            number = stored.toString().toLongLong(&ok, 10);
            break;
        default:
            return false; // lists, byte arrays and other typed values are not an integer
        }
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
        bool ok = false;
        const QString text = textOf(file->value(name), ok);
        if (ok)
            value = text;
        return ok;
    }

    bool writeInt(const QString &name, std::int32_t value) override { return write(name, QString::number(value)); }
    bool writeString(const QString &name, const QString &value) override { return write(name, value); }

private:
    // Each value reaches the disk before the next is written, so a failure leaves the earlier
    // ones stored, as with a registry key.
    bool write(const QString &name, const QString &text)
    {
        if (!writable_ || !user_)
            return false;
        // A value that already reads as this text keeps its bytes as the person wrote them.
        bool isText = false;
        if (user_->contains(name) && textOf(user_->value(name), isText) == text && isText)
            return true;
        if (keepAside_) {
            if (!files_->copy(path_, path_ + QStringLiteral(".bad")))
                return false;
            keepAside_ = false;
        }
        if (user_->setText(name, text) && files_->replace(path_, user_->bytes()))
            return true;
        // The file in memory may now be ahead of the one on disk: no more writes until reopened.
        writable_ = false;
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
    bool writable_ = false;
    bool keepAside_ = false; // the user file is unusable: copy it to .bad before replacing it
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
