#include "simline.h"

#include <QStringView>

#include <algorithm>

namespace relvix::sim {

namespace {

// At most this many of the tool's reads keep their times (those not framed yet): a request is
// never longer than 1500 bytes, and a read is at least one byte.
constexpr qsizetype MaxToolChunks = 2048;

QString spacedHex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

} // namespace

std::optional<LineMode> parseLineMode(const QString &text)
{
    const QString t = text.trimmed().toLower();
    if (t == u"normal")
        return LineMode{};
    LineMode mode;
    for (const QString &word : t.split(QLatin1Char(','))) {
        if (word == u"echo" && !mode.echo)
            mode.echo = true;
        else if (word == u"half-duplex" && !mode.halfDuplex)
            mode.halfDuplex = true;
        else
            return std::nullopt;
    }
    return mode;
}

QString lineModeName(LineMode mode)
{
    if (mode.echo && mode.halfDuplex)
        return QStringLiteral("echo,half-duplex");
    if (mode.echo)
        return QStringLiteral("echo");
    if (mode.halfDuplex)
        return QStringLiteral("half-duplex");
    return QStringLiteral("normal");
}

qint64 characterNs(int baud)
{
    return qint64(BitsPerCharacter) * 1'000'000'000 / (baud > 0 ? baud : DefaultLineBaud);
}

qsizetype WireSchedule::Transmission::firstEndingAfter(qint64 t) const
{
    // Byte i ends at start + (i + 1) x charNs.
    if (t < start)
        return 0;
    return std::min<qsizetype>(bytes.size(), (t - start) / charNs);
}

int WireSchedule::toolSends(qint64 now, qint64 charNs, qsizetype count, QStringList *log)
{
    if (count <= 0)
        return -1;
    const qint64 start = std::max(now, toolBusyUntil_);
    const qint64 end = start + count * charNs;
    if (start > toolBusyUntil_)
        toolRunStart_ = start;
    toolBusyUntil_ = end;
    toolChunks_.append({toolBytes_, start, charNs, count});
    toolBytes_ += count;
    if (toolChunks_.size() > MaxToolChunks)
        toolChunks_.removeFirst();

    qint64 garbled = -1;
    for (Transmission &t : transmissions_) {
        if (t.sent >= t.bytes.size() || t.start >= end || t.end() <= start)
            continue;
        const qsizetype from = std::max(t.sent, t.firstEndingAfter(start));
        t.garbledFrom = std::min(t.garbledFrom, from);
        const qint64 mine = t.start > start ? (t.start - start) / charNs : 0;
        garbled = garbled < 0 ? mine : std::min(garbled, mine);
        if (log)
            log->append(QStringLiteral("COLLISION the tool sent while an answer was on the line: the answer garbled "
                                       "from byte %1 of %2, the tool's bytes from byte %3 of %4")
                            .arg(QString::number(from + 1), QString::number(t.bytes.size()), QString::number(mine + 1),
                                 QString::number(count)));
    }
    return static_cast<int>(garbled);
}

qint64 WireSchedule::toolByteEnd(qint64 index) const
{
    for (const ToolChunk &chunk : toolChunks_) {
        if (index >= chunk.firstIndex && index < chunk.firstIndex + chunk.count)
            return chunk.start + (index - chunk.firstIndex + 1) * chunk.charNs;
    }
    return std::max<qint64>(toolBusyUntil_, 0);
}

void WireSchedule::forgetToolBytesBefore(qint64 index)
{
    while (!toolChunks_.isEmpty() && toolChunks_.first().firstIndex + toolChunks_.first().count <= index)
        toolChunks_.removeFirst();
}

bool WireSchedule::transmit(const QByteArray &bytes, qint64 start, qint64 charNs, const QString &tag, QStringList *log)
{
    if (bytes.isEmpty())
        return false;
    Transmission mine{bytes, start, std::max<qint64>(charNs, 1), tag};
    mine.garbledFrom = bytes.size();
    const qint64 end = mine.end();
    bool overTool = false;
    if (toolBusyUntil_ > start && toolRunStart_ < end) {
        overTool = true;
        mine.garbledFrom = mine.firstEndingAfter(toolRunStart_);
        if (log)
            log->append(QStringLiteral("COLLISION an answer began while the tool was sending: both garbled"));
    }
    for (Transmission &other : transmissions_) {
        if (other.sent >= other.bytes.size() || other.start >= end || other.end() <= start)
            continue;
        other.garbledFrom = std::min(other.garbledFrom, std::max(other.sent, other.firstEndingAfter(start)));
        mine.garbledFrom = std::min(mine.garbledFrom, mine.firstEndingAfter(other.start));
        if (log)
            log->append(QStringLiteral("COLLISION two answers overlap on the line: both garbled"));
    }
    transmissions_.append(mine);
    return overTool;
}

QByteArray WireSchedule::takeDue(qint64 now, QStringList *log)
{
    struct Due {
        qint64 at;
        char byte;
    };
    QList<Due> due;
    for (Transmission &t : transmissions_) {
        const qsizetype ready = t.firstEndingAfter(now); // the bytes that have ended by now
        if (ready <= t.sent)
            continue;
        if (t.sent == 0 && log) {
            QByteArray outgoing = t.bytes;
            for (qsizetype i = t.garbledFrom; i < outgoing.size(); ++i)
                outgoing[i] = static_cast<char>(~outgoing[i]);
            log->append(t.tag + QLatin1Char(' ') + spacedHex(outgoing));
        }
        for (qsizetype i = t.sent; i < ready; ++i) {
            const char byte = i >= t.garbledFrom ? static_cast<char>(~t.bytes[i]) : t.bytes[i];
            due.append({t.start + (i + 1) * t.charNs, byte});
        }
        t.sent = ready;
    }
    transmissions_.removeIf([](const Transmission &t) { return t.sent >= t.bytes.size(); });
    std::stable_sort(due.begin(), due.end(), [](const Due &a, const Due &b) { return a.at < b.at; });
    QByteArray out;
    out.reserve(due.size());
    for (const Due &d : due)
        out.append(d.byte);
    return out;
}

qint64 WireSchedule::nextDue() const
{
    qint64 next = -1;
    for (const Transmission &t : transmissions_) {
        const qint64 at = t.start + (t.sent + 1) * t.charNs;
        next = next < 0 ? at : std::min(next, at);
    }
    return next;
}

qsizetype WireSchedule::pendingBytes() const
{
    qsizetype n = 0;
    for (const Transmission &t : transmissions_)
        n += t.bytes.size() - t.sent;
    return n;
}

void WireSchedule::clear()
{
    transmissions_.clear();
    toolChunks_.clear();
}

} // namespace relvix::sim
