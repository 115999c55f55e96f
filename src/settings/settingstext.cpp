#include "settings/settingstext.h"

#include <QStringDecoder>

#include <algorithm>

namespace relvix {

namespace {

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

} // namespace relvix
