#include "shell/trafficlog.h"
#include "reader/framemeaning.h"
#include "shell/csvtext.h"
#include "shell/toolstext.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFontDatabase>
#include <QIODevice>

#include <algorithm>

namespace relvix {
namespace {

bool isLinkEvent(FrameEvent::Kind kind)
{
    return kind == FrameEvent::Kind::Open || kind == FrameEvent::Kind::OpenFailed || kind == FrameEvent::Kind::Close;
}

QString hexBytes(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

QString exceptionText(std::uint8_t code)
{
    return QStringLiteral("exception %1 %2").arg(QString::asprintf("%02X", unsigned(code)), exceptionName(code));
}

} // namespace

TrafficLog::TrafficLog(QObject *parent, std::function<qint64()> wallClock)
    : QAbstractTableModel(parent), wallClock_(std::move(wallClock))
{
    if (!wallClock_)
        wallClock_ = [] { return QDateTime::currentMSecsSinceEpoch(); };
    batch_.setSingleShot(true);
    batch_.setInterval(kMinBatchMs);
    connect(&batch_, &QTimer::timeout, this, &TrafficLog::flush);
}

void TrafficLog::frameEvent(const FrameEvent &event)
{
    // The request is kept while paused too, so that the first answer after a pause still
    // has its meaning.
    if (event.kind == FrameEvent::Kind::Request) {
        lastRequest_ = event.bytes;
        if (!event.bytes.isEmpty())
            requestTo_[std::uint8_t(event.bytes[0])] = event.bytes;
    }
    if (paused_)
        return;
    Line l;
    l.wallMs = wallClock_();
    l.kind = event.kind;
    l.outcome = event.outcome;
    l.slave = event.slave;
    l.exceptionCode = event.exceptionCode;
    l.bytes = event.bytes;
    // A dropped frame is told under the request of the moment, but its sender is its first
    // byte, and what it answers is the latest request there.
    if (event.kind == FrameEvent::Kind::Dropped && !event.bytes.isEmpty()) {
        l.slave = std::uint8_t(event.bytes[0]);
        l.request = requestTo_[l.slave];
    } else if (event.kind != FrameEvent::Kind::Request && !isLinkEvent(event.kind)) {
        l.request = lastRequest_;
    }
    l.detail = event.detail;
    if (event.kind == FrameEvent::Kind::Close || event.kind == FrameEvent::Kind::Open) {
        lastRequest_.clear();
        requestTo_.fill(QByteArray());
    }
    pending_.push_back(std::move(l));
    // A loop that outruns the batch timer for a long time keeps no more than the log holds.
    if (pending_.size() >= 2 * std::size_t(kMaxLines))
        pending_.erase(pending_.begin(), pending_.begin() + kMaxLines);
    if (!batch_.isActive())
        batch_.start();
}

void TrafficLog::flush()
{
    batch_.stop();
    if (pending_.empty())
        return;
    // What the views spent since the last batch is the cost of that batch to them.
    viewMs_ = (3 * viewMs_ + viewSinceBatchMs_) / 4;
    viewSinceBatchMs_ = 0;
    QElapsedTimer cost;
    cost.start();
    std::size_t first = 0;
    if (pending_.size() > std::size_t(kMaxLines))
        first = pending_.size() - std::size_t(kMaxLines);
    const std::size_t adding = pending_.size() - first;
    const std::size_t total = lines_.size() + adding;
    if (total > std::size_t(kMaxLines)) {
        const std::size_t dropping = total - std::size_t(kMaxLines);
        beginRemoveRows({}, 0, int(dropping) - 1);
        lines_.erase(lines_.begin(), lines_.begin() + std::ptrdiff_t(dropping));
        endRemoveRows();
    }
    const int at = int(lines_.size());
    beginInsertRows({}, at, at + int(adding) - 1);
    for (std::size_t i = first; i < pending_.size(); ++i)
        lines_.push_back(std::move(pending_[i]));
    endInsertRows();
    // A queue that grew long (a loop that outran the batches) gives its memory back.
    if (pending_.capacity() > 4096)
        std::vector<Line>().swap(pending_);
    else
        pending_.clear();
    flushMs_ = (3 * flushMs_ + double(cost.nsecsElapsed()) / 1e6) / 4;
    updateInterval();
}

void TrafficLog::addViewCost(double ms)
{
    viewSinceBatchMs_ += ms;
}

void TrafficLog::updateInterval()
{
    const double interval = kCostShare * (flushMs_ + viewMs_);
    batch_.setInterval(int(std::clamp(interval, double(kMinBatchMs), double(kMaxBatchMs))));
}

void TrafficLog::clear()
{
    batch_.stop();
    beginResetModel();
    lines_.clear();
    lines_.shrink_to_fit();
    pending_.clear();
    pending_.shrink_to_fit();
    endResetModel();
}

void TrafficLog::setPaused(bool paused)
{
    if (paused)
        flush();
    paused_ = paused;
}

void TrafficLog::setLanguage(int language)
{
    language_ = language;
    emit headerDataChanged(Qt::Horizontal, 0, ColumnCount - 1);
}

qint64 TrafficLog::localMs(qint64 utcMs) const
{
    // The offset in force at the start of the line's quarter hour: zones change their offset
    // on quarter hours only, and asking the system (a stat of /etc/localtime and a lock each
    // time) for every line took most of the time of saving 100 000 of them.
    constexpr qint64 kQuarterMs = 15 * 60 * 1000;
    const qint64 quarter = utcMs >= 0 ? utcMs / kQuarterMs : (utcMs + 1) / kQuarterMs - 1;
    if (quarter != offsetQuarter_) {
        offsetQuarter_ = quarter;
        offsetMs_ = qint64(QDateTime::fromMSecsSinceEpoch(quarter * kQuarterMs).offsetFromUtc()) * 1000;
    }
    return utcMs + offsetMs_;
}

QString TrafficLog::timeText(int row, bool alwaysDate) const
{
    constexpr qint64 kDayMs = 24 * 60 * 60 * 1000;
    const auto dayOf = [](qint64 ms) { return ms >= 0 ? ms / kDayMs : (ms + 1) / kDayMs - 1; };
    const qint64 at = localMs(line(row).wallMs);
    const qint64 day = dayOf(at);
    const qint64 ms = at - day * kDayMs;
    const QString time = QString::asprintf("%02d:%02d:%02d.%03d", int(ms / 3'600'000), int(ms / 60'000 % 60),
                                           int(ms / 1000 % 60), int(ms % 1000));
    if (!alwaysDate && row > 0 && dayOf(localMs(line(row - 1).wallMs)) == day)
        return time;
    return QDate(1970, 1, 1).addDays(day).toString(Qt::ISODate) + QLatin1Char(' ') + time;
}

QString TrafficLog::meaning(const Line &l) const
{
    switch (l.kind) {
    case FrameEvent::Kind::Request:
        return requestMeaning(l.bytes);
    case FrameEvent::Kind::Response:
        return responseMeaning(l.request, l.bytes);
    case FrameEvent::Kind::Open:
    case FrameEvent::Kind::OpenFailed:
    case FrameEvent::Kind::Close:
        return l.detail;
    default:
        break;
    }
    // A failure, a dropped frame, or an event this log does not know by name: what its bytes
    // say, then why (an exception's detail only repeats its code and name).
    QStringList parts;
    if (l.outcome == Outcome::Exception && l.exceptionCode != 0)
        parts << exceptionText(l.exceptionCode);
    else if (!l.bytes.isEmpty())
        parts << responseMeaning(l.request, l.bytes);
    if (!l.detail.isEmpty() &&
        !(l.outcome == Outcome::Exception && l.detail == outcomeText(l.outcome, l.exceptionCode)))
        parts << l.detail;
    parts.removeAll(QString());
    return parts.join(QStringLiteral("; "));
}

QString TrafficLog::field(int row, Column column) const
{
    const Line &l = line(row);
    switch (column) {
    case Time:
        return timeText(row, false);
    case Direction: {
        const QString why = outcomeName(l.outcome);
        return why.isEmpty() ? frameEventTag(l.kind) : frameEventTag(l.kind) + QLatin1Char(' ') + why;
    }
    case Slave:
        return isLinkEvent(l.kind) ? QString() : QString::number(l.slave);
    case Function: {
        const QByteArray &frame = l.bytes.size() >= 2 ? l.bytes : l.request;
        if (isLinkEvent(l.kind) || frame.size() < 2)
            return {};
        return QString::asprintf("%02X", unsigned(std::uint8_t(frame[1])));
    }
    case Bytes:
        return hexBytes(l.bytes);
    case Meaning:
        return meaning(l);
    case ColumnCount:
        break;
    }
    return {};
}

QString TrafficLog::lineText(int row) const
{
    QStringList fields;
    for (int c = 0; c < ColumnCount; ++c) {
        const QString f = field(row, Column(c));
        if (!f.isEmpty())
            fields << f;
    }
    return fields.join(QStringLiteral("  "));
}

bool TrafficLog::saveText(QIODevice &file) const
{
    for (int row = 0; row < rowCount(); ++row) {
        const QByteArray bytes = (lineText(row) + QLatin1Char('\n')).toUtf8();
        if (file.write(bytes) != bytes.size())
            return false;
    }
    return true;
}

bool TrafficLog::saveCsv(QIODevice &file) const
{
    // The columns are the same in every language, for programs that read the file.
    if (!writeCsvRecord(file, {QStringLiteral("time"), QStringLiteral("direction"), QStringLiteral("slave"),
                               QStringLiteral("function"), QStringLiteral("bytes"), QStringLiteral("meaning")}))
        return false;
    for (int row = 0; row < rowCount(); ++row) {
        if (!writeCsvRecord(file, {timeText(row, true), field(row, Direction), field(row, Slave), field(row, Function),
                                   field(row, Bytes), field(row, Meaning)}))
            return false;
    }
    return true;
}

int TrafficLog::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(lines_.size());
}

int TrafficLog::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant TrafficLog::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= ColumnCount)
        return {};
    if (role == Qt::DisplayRole)
        return field(index.row(), Column(index.column()));
    if (role == Qt::FontRole && index.column() == Bytes) {
        static const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        return fixed;
    }
    return {};
}

QVariant TrafficLog::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    static constexpr ToolText kHeaders[ColumnCount] = {ToolText::TimeColumn,  ToolText::DirectionColumn,
                                                       ToolText::SlaveColumn, ToolText::FunctionColumn,
                                                       ToolText::BytesColumn, ToolText::MeaningColumn};
    if (section < 0 || section >= ColumnCount)
        return {};
    return toolText(language_, kHeaders[section]);
}

} // namespace relvix
