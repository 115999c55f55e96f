#pragma once
#include "link/frameevent.h"

#include <QAbstractTableModel>
#include <QByteArray>
#include <QTimer>

#include <deque>
#include <functional>
#include <vector>

class QIODevice;

namespace relvix {

// Every event of a link as one line: its time, direction, slave, function, bytes and what
// they mean to the reader. As a frame observer it only queues what it is told (a copy of
// shared byte arrays and a clock reading), and hands the queue to the views in one batch a
// fifth of a second later, so a card loop pays next to nothing per frame. It keeps the
// latest kMaxLines lines; older ones go first. Texts are made only when a row is shown or
// saved.
class TrafficLog : public QAbstractTableModel, public FrameObserver {
    Q_OBJECT
public:
    enum Column { Time, Direction, Slave, Function, Bytes, Meaning, ColumnCount };
    static constexpr int kMaxLines = 100'000;
    static constexpr int kBatchMs = 200;

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
        QByteArray request; // the frame a response or failure answers (shared, not copied)
        QString detail;
    };

    const Line &line(int row) const { return lines_[std::size_t(row)]; }
    QString timeText(int row, bool alwaysDate) const;
    QString meaning(const Line &l) const;

    std::function<qint64()> wallClock_;
    std::deque<Line> lines_;
    std::vector<Line> pending_;
    QByteArray lastRequest_;
    QTimer batch_;
    bool paused_ = false;
    int language_ = 0;
};

} // namespace relvix
