#include "shell/trafficlog.h"
#include "link/crc16.h"
#include "reader/framemeaning.h"
#include "shell/csvtext.h"
#include "shell/toolstext.h"

#include <QColor>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
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

bool crcValid(const QByteArray &frame)
{
    if (frame.size() < 4)
        return false;
    const auto *b = reinterpret_cast<const std::uint8_t *>(frame.constData());
    const std::uint16_t crc = Crc16(int(frame.size()) - 2, b);
    return b[frame.size() - 2] == (crc & 0xFFu) && b[frame.size() - 1] == (crc >> 8);
}

// How far back an answer's request is looked for: a late answer comes a few exchanges on.
constexpr int kRequestLookBack = 64;

} // namespace

// Every line from its start on, in files of at most a given size.
class TrafficLog::FileLog {
public:
    FileLog(const QString &path, bool csv, qint64 maxBytes) : base_(path), csv_(csv), maxBytes_(maxBytes) {}

    bool open()
    {
        file_.close();
        file_.setFileName(pathOf(part_));
        if (!file_.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        written_ = 0;
        if (csv_)
            return write(csvHeader());
        return true;
    }

    // One line; a new file first when this one is full.
    bool write(const QString &text)
    {
        const QByteArray bytes = text.toUtf8();
        if (written_ > 0 && written_ + bytes.size() > maxBytes_) {
            ++part_;
            if (!open())
                return false;
        }
        if (file_.write(bytes) != bytes.size())
            return false;
        written_ += bytes.size();
        return true;
    }

    bool finishBatch() { return file_.flush(); }
    bool csv() const { return csv_; }
    QString path() const { return file_.fileName(); }

    static QString csvHeader()
    {
        // The first six are the columns the log always had; those after them came later.
        return QStringLiteral("time,direction,slave,function,bytes,meaning,delta_ms,response_ms,asked_slave\r\n");
    }

private:
    QString pathOf(int part) const
    {
        if (part == 1)
            return base_;
        const QFileInfo info(base_);
        const QString suffix = info.suffix().isEmpty() ? QString() : QLatin1Char('.') + info.suffix();
        return info.dir().filePath(QStringLiteral("%1-%2%3").arg(info.completeBaseName()).arg(part).arg(suffix));
    }

    QString base_;
    bool csv_;
    qint64 maxBytes_;
    int part_ = 1;
    qint64 written_ = 0;
    QFile file_;
};

TrafficLog::TrafficLog(QObject *parent, std::function<qint64()> wallClock)
    : QAbstractTableModel(parent), wallClock_(std::move(wallClock))
{
    if (!wallClock_)
        wallClock_ = [] { return QDateTime::currentMSecsSinceEpoch(); };
    batch_.setSingleShot(true);
    batch_.setInterval(kMinBatchMs);
    connect(&batch_, &QTimer::timeout, this, &TrafficLog::flush);
}

TrafficLog::~TrafficLog() = default;

void TrafficLog::frameEvent(const FrameEvent &event)
{
    if (event.kind == FrameEvent::Kind::Request) {
        lastRequest_ = event.bytes;
        if (!event.bytes.isEmpty())
            requestTo_[std::uint8_t(event.bytes[0])] = event.bytes;
    }
    Line l;
    l.wallMs = wallClock_();
    l.linkMs = event.timeMs;
    l.kind = std::uint8_t(event.kind);
    l.outcome = event.outcome;
    l.slave = event.slave;
    l.exceptionCode = event.exceptionCode;
    l.bytes = event.bytes;
    // A dropped frame is told under the request of the moment, but its sender is its first
    // byte, and what it answers is the latest request there.
    if (event.kind == FrameEvent::Kind::Dropped && !event.bytes.isEmpty())
        l.request = requestTo_[std::uint8_t(event.bytes[0])];
    else if (event.kind != FrameEvent::Kind::Request && !isLinkEvent(event.kind))
        l.request = lastRequest_;
    l.detail = event.detail;
    if (event.kind == FrameEvent::Kind::Close || event.kind == FrameEvent::Kind::Open) {
        lastRequest_.clear();
        requestTo_.fill(QByteArray());
    }
    pending_.push_back(std::move(l));
    // A loop that outruns the batch timer for a long time is taken in at once.
    if (pending_.size() >= std::size_t(kMaxLines))
        flush();
    else if (!batch_.isActive())
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
    const std::size_t firstNew = lines_.size();
    for (Line &l : pending_)
        lines_.push_back(std::move(l));
    // A queue that grew long (a loop that outran the batches) gives its memory back.
    if (pending_.capacity() > 4096)
        std::vector<Line>().swap(pending_);
    else
        pending_.clear();
    for (std::size_t i = firstNew; i < lines_.size(); ++i)
        if (mark(int(i)) != Mark::None && slaveOf(int(i)) >= 0)
            ++errors_[std::size_t(slaveOf(int(i)))];
    if (fileLog_) {
        bool written = true;
        for (std::size_t i = firstNew; written && i < lines_.size(); ++i)
            written = fileLog_->write(fileLog_->csv() ? csvRecordText(csvRecord(int(i)))
                                                      : lineText(int(i)) + QLatin1Char('\n'));
        if (!written || !fileLog_->finishBatch()) {
            const QString path = fileLog_->path();
            fileLog_.reset();
            emit fileLogFailed(path);
        }
    }
    // The cap: the oldest lines go, shown ones first.
    if (lines_.size() > std::size_t(kMaxLines)) {
        const std::size_t dropping = lines_.size() - std::size_t(kMaxLines);
        const int shownDropping = int(std::min(dropping, std::size_t(shown_)));
        if (shownDropping > 0)
            beginRemoveRows({}, 0, shownDropping - 1);
        lines_.erase(lines_.begin(), lines_.begin() + std::ptrdiff_t(dropping));
        shown_ -= shownDropping;
        if (shownDropping > 0)
            endRemoveRows();
        dropped_ += qint64(dropping);
    }
    if (!paused_)
        showHeld();
    flushMs_ = (3 * flushMs_ + double(cost.nsecsElapsed()) / 1e6) / 4;
    updateInterval();
    emit linesTaken();
}

void TrafficLog::showHeld()
{
    const int total = int(lines_.size());
    if (total <= shown_)
        return;
    beginInsertRows({}, shown_, total - 1);
    shown_ = total;
    endInsertRows();
}

bool TrafficLog::startFileLog(const QString &path, bool csv, qint64 maxBytes)
{
    flush(); // what came before is not the file's
    auto log = std::make_unique<FileLog>(path, csv, maxBytes);
    if (!log->open() || !log->finishBatch())
        return false;
    fileLog_ = std::move(log);
    return true;
}

void TrafficLog::stopFileLog()
{
    flush();
    fileLog_.reset();
}

QString TrafficLog::fileLogPath() const
{
    return fileLog_ ? fileLog_->path() : QString();
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
    flush(); // a file log keeps what came
    beginResetModel();
    lines_.clear();
    lines_.shrink_to_fit();
    shown_ = 0;
    dropped_ = 0;
    errors_.fill(0);
    endResetModel();
    emit linesTaken();
}

void TrafficLog::setPaused(bool paused)
{
    flush();
    paused_ = paused;
    if (!paused_)
        showHeld();
}

void TrafficLog::setLanguage(int language)
{
    language_ = language;
    emit headerDataChanged(Qt::Horizontal, 0, ColumnCount - 1);
    if (shown_ > 0)
        emit dataChanged(index(0, 0), index(shown_ - 1, ColumnCount - 1));
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

QString TrafficLog::isoTime(int row) const
{
    constexpr qint64 kDayMs = 24 * 60 * 60 * 1000;
    const qint64 at = localMs(line(row).wallMs);
    const qint64 offsetMinutes = offsetMs_ / 60'000; // of the quarter hour localMs just read
    const qint64 day = at >= 0 ? at / kDayMs : (at + 1) / kDayMs - 1;
    const qint64 ms = at - day * kDayMs;
    const qint64 offset = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
    return QDate(1970, 1, 1).addDays(day).toString(Qt::ISODate) +
           QString::asprintf("T%02d:%02d:%02d.%03d%c%02d:%02d", int(ms / 3'600'000), int(ms / 60'000 % 60),
                             int(ms / 1000 % 60), int(ms % 1000), offsetMinutes < 0 ? '-' : '+', int(offset / 60),
                             int(offset % 60));
}

int TrafficLog::sender(const Line &l) const
{
    const auto kind = FrameEvent::Kind(l.kind);
    if (isLinkEvent(kind))
        return -1;
    // A received frame, when it is one: its own first byte. What came without a valid
    // frame has no sender of its own, and is the request's.
    if ((kind == FrameEvent::Kind::Response || kind == FrameEvent::Kind::Dropped ||
         kind == FrameEvent::Kind::NoResponse) &&
        !l.bytes.isEmpty() && (kind == FrameEvent::Kind::Dropped || crcValid(l.bytes)))
        return std::uint8_t(l.bytes[0]);
    return l.slave;
}

int TrafficLog::slaveOf(int row) const
{
    return sender(line(row));
}

int TrafficLog::askedSlave(int row) const
{
    return isLinkEvent(kindOf(row)) ? -1 : line(row).slave;
}

int TrafficLog::functionOf(int row) const
{
    const Line &l = line(row);
    const QByteArray &frame = l.bytes.size() >= 2 ? l.bytes : l.request;
    if (isLinkEvent(FrameEvent::Kind(l.kind)) || frame.size() < 2)
        return -1;
    return std::uint8_t(frame[1]);
}

TrafficLog::Mark TrafficLog::mark(int row) const
{
    const Line &l = line(row);
    switch (FrameEvent::Kind(l.kind)) {
    case FrameEvent::Kind::NoResponse:
        return l.outcome == Outcome::Exception ? Mark::Exception : Mark::Failure;
    case FrameEvent::Kind::OpenFailed:
        return Mark::Failure;
    case FrameEvent::Kind::Dropped:
        return Mark::Dropped;
    case FrameEvent::Kind::Response:
        // The window's rule takes the first valid frame, from whichever slave.
        if (sender(l) != l.slave)
            return Mark::Foreign;
        if (l.bytes.size() >= 2 && (std::uint8_t(l.bytes[1]) & 0x80u) != 0)
            return Mark::Exception;
        return Mark::None;
    default:
        return Mark::None;
    }
}

int TrafficLog::responseMs(int row) const
{
    const Line &l = line(row);
    const auto kind = FrameEvent::Kind(l.kind);
    const bool answer = kind == FrameEvent::Kind::Response || kind == FrameEvent::Kind::Dropped ||
                        (kind == FrameEvent::Kind::NoResponse && !l.bytes.isEmpty());
    if (!answer || l.request.isEmpty())
        return -1;
    // The request it answers is the same shared bytes a few lines up.
    for (int at = row - 1; at >= 0 && at >= row - kRequestLookBack; --at) {
        const Line &r = line(at);
        if (FrameEvent::Kind(r.kind) == FrameEvent::Kind::Request && r.bytes.constData() == l.request.constData())
            return int(l.linkMs - r.linkMs);
    }
    return -1;
}

QString TrafficLog::directionText(const Line &l, int language) const
{
    const QString why = language == 0 ? outcomeName(l.outcome) : outcomeWord(language, l.outcome);
    const QString tag = frameEventTag(FrameEvent::Kind(l.kind));
    return why.isEmpty() ? tag : tag + QLatin1Char(' ') + why;
}

QString TrafficLog::meaning(const Line &l) const
{
    switch (FrameEvent::Kind(l.kind)) {
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
    case Delta:
        return row > 0 ? QString::number(l.linkMs - line(row - 1).linkMs) : QString();
    case Direction:
        return directionText(l, 0);
    case Slave: {
        const int s = sender(l);
        return s < 0 ? QString() : QString::number(s);
    }
    case Function: {
        const int f = functionOf(row);
        return f < 0 ? QString() : QString::asprintf("%02X", unsigned(f));
    }
    case Response: {
        const int ms = responseMs(row);
        return ms < 0 ? QString() : QString::number(ms);
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

QString TrafficLog::shownField(int row, Column column) const
{
    if (language_ == 0)
        return field(row, column);
    if (column == Direction)
        return directionText(line(row), language_);
    if (column == Meaning)
        return trafficWords(language_, field(row, column));
    return field(row, column);
}

QString TrafficLog::lineText(int row) const
{
    QStringList fields{isoTime(row)};
    for (int c = Time + 1; c < ColumnCount; ++c) {
        const QString f = field(row, Column(c));
        if (!f.isEmpty())
            fields << f;
    }
    return fields.join(QStringLiteral("  "));
}

QStringList TrafficLog::csvRecord(int row) const
{
    const int asked = askedSlave(row);
    return {isoTime(row),         field(row, Direction), field(row, Slave),
            field(row, Function), field(row, Bytes),     field(row, Meaning),
            field(row, Delta),    field(row, Response),  asked < 0 ? QString() : QString::number(asked)};
}

QString TrafficLog::droppedText() const
{
    return toolText(0, ToolText::DroppedLine).arg(dropped_).arg(kMaxLines);
}

bool TrafficLog::saveText(QIODevice &file) const
{
    if (dropped_ > 0) {
        const QByteArray note = (droppedText() + QLatin1Char('\n')).toUtf8();
        if (file.write(note) != note.size())
            return false;
    }
    for (int row = 0; row < lineCount(); ++row) {
        const QByteArray bytes = (lineText(row) + QLatin1Char('\n')).toUtf8();
        if (file.write(bytes) != bytes.size())
            return false;
    }
    return true;
}

bool TrafficLog::saveCsv(QIODevice &file) const
{
    // The columns are the same in every language, for programs that read the file; a note
    // of lines dropped is a record of its own, direction NOTE, before the first line.
    const QByteArray header = FileLog::csvHeader().toUtf8();
    if (file.write(header) != header.size())
        return false;
    if (dropped_ > 0 && lineCount() > 0 &&
        !writeCsvRecord(file, {isoTime(0), QStringLiteral("NOTE"), {}, {}, {}, droppedText(), {}, {}, {}}))
        return false;
    for (int row = 0; row < lineCount(); ++row) {
        if (!writeCsvRecord(file, csvRecord(row)))
            return false;
    }
    return true;
}

int TrafficLog::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : shown_;
}

int TrafficLog::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant TrafficLog::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= ColumnCount)
        return {};
    const int row = index.row();
    const auto column = Column(index.column());
    switch (role) {
    case Qt::DisplayRole:
        return shownField(row, column);
    case Qt::FontRole:
        if (column == Bytes) {
            static const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
            return fixed;
        }
        break;
    case Qt::TextAlignmentRole:
        if (column == Delta || column == Response || column == Slave)
            return int(Qt::AlignRight | Qt::AlignVCenter);
        break;
    case Qt::BackgroundRole:
    case Qt::ForegroundRole: {
        // Pale backgrounds that a person tells apart at a glance, with dark text on them
        // whatever the style's colours: red for a failure, amber for an exception, blue for
        // a frame that was not the answer.
        const Mark m = mark(row);
        if (m == Mark::None)
            break;
        if (role == Qt::ForegroundRole)
            return QColor(Qt::black);
        switch (m) {
        case Mark::Failure:
            return QColor(0xF8, 0xD0, 0xD0);
        case Mark::Exception:
            return QColor(0xFF, 0xE4, 0xB0);
        default:
            return QColor(0xD4, 0xE0, 0xF8);
        }
    }
    case Qt::ToolTipRole: {
        // The whole of what the row says, however narrow its columns.
        const QString why = shownField(row, Meaning);
        const QString what = shownField(row, Direction);
        if (column == Meaning || column == Direction || mark(row) != Mark::None)
            return why.isEmpty() ? what : what + QStringLiteral(": ") + why;
        break;
    }
    default:
        break;
    }
    return {};
}

QVariant TrafficLog::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    static constexpr ToolText kHeaders[ColumnCount] = {
        ToolText::TimeColumn,     ToolText::DeltaColumn,      ToolText::DirectionColumn, ToolText::SlaveColumn,
        ToolText::FunctionColumn, ToolText::ResponseMsColumn, ToolText::BytesColumn,     ToolText::MeaningColumn};
    if (section < 0 || section >= ColumnCount)
        return {};
    return toolText(language_, kHeaders[section]);
}

} // namespace relvix
