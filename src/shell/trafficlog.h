#pragma once
#include "link/frameevent.h"

#include <QAbstractTableModel>
#include <QByteArray>
#include <QTimer>

#include <array>
#include <deque>
#include <functional>
#include <limits>
#include <vector>

class QIODevice;

namespace relvix {

// Every event of a link as one line: its time, direction, slave, function, bytes and what
// they mean to the reader. As a frame observer it only queues what it is told (a copy of
// shared byte arrays and a clock reading) and hands the queue to the views in batches, so a
// card loop pays next to nothing per frame. It keeps the latest kMaxLines lines; older ones
// go first. Texts are made only when a row is shown or saved.
//
// A batch costs the loop what taking it in, laying the view out and repainting the window
// cost (some 5 to 10 ms on a busy 2-core machine, most of it Qt shaping the cells' text),
// so batches come no more often than keeps that cost at 2 % of the time: every 100 ms on a
// fast machine, 475 ms at 9.5 ms a batch, never less often than once a second.
class TrafficLog : public QAbstractTableModel, public FrameObserver {
    Q_OBJECT
public:
    enum Column { Time, Direction, Slave, Function, Bytes, Meaning, ColumnCount };
    static constexpr int kMaxLines = 100'000;
    static constexpr int kMinBatchMs = 100;
    static constexpr int kMaxBatchMs = 1000;
    static constexpr int kCostShare = 50; // a batch's cost is at most 1/50 of its interval

    // `wallClock` gives milliseconds since the epoch; null means the system's clock.
    explicit TrafficLog(QObject *parent = nullptr, std::function<qint64()> wallClock = {});

    void frameEvent(const FrameEvent &event) override;

    // Hands what is queued to the views now.
    void flush();
    void clear();
    // While paused nothing is recorded.
    void setPaused(bool paused);
    bool paused() const { return paused_; }
    void setLanguage(int language);
    // Time a view of the log spent on it (laying out, painting), for the batch interval.
    void addViewCost(double ms);
    int batchIntervalMs() const { return batch_.interval(); }

    // The line as saved in a text file: the fields that have a value, two blanks apart. The
    // time carries the date on the first line of a day.
    QString lineText(int row) const;
    QString field(int row, Column column) const;

    // Writes every line; false when the file could not be written.
    bool saveText(QIODevice &file) const;
    bool saveCsv(QIODevice &file) const;

    // QAbstractTableModel
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    struct Line {
        qint64 wallMs = 0;
        FrameEvent::Kind kind = FrameEvent::Kind::Request;
        Outcome outcome = Outcome::None;
        std::uint8_t slave = 0;
        std::uint8_t exceptionCode = 0;
        QByteArray bytes;
        QByteArray request; // the frame a response, failure or dropped frame answers (shared, not copied)
        QString detail;
    };

    const Line &line(int row) const { return lines_[std::size_t(row)]; }
    QString timeText(int row, bool alwaysDate) const;
    qint64 localMs(qint64 utcMs) const;
    QString meaning(const Line &l) const;
    void updateInterval();

    std::function<qint64()> wallClock_;
    std::deque<Line> lines_;
    std::vector<Line> pending_;
    QByteArray lastRequest_;
    // The latest request to each address since the open: what a dropped frame from there
    // (a late answer, most often) answers.
    std::array<QByteArray, 256> requestTo_;
    QTimer batch_;
    double flushMs_ = 0; // a batch's own cost, and the views', smoothed
    double viewMs_ = 0;
    double viewSinceBatchMs_ = 0;
    mutable qint64 offsetQuarter_ = std::numeric_limits<qint64>::min(); // local offset cache
    mutable qint64 offsetMs_ = 0;
    bool paused_ = false;
    int language_ = 0;
};

} // namespace relvix
