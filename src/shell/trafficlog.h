#pragma once
#include "link/frameevent.h"

#include <QAbstractTableModel>
#include <QByteArray>
#include <QFile>
#include <QTimer>

#include <array>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

class QIODevice;

namespace relvix {

// Every event of a link as one line: its time, the time since the line before, direction,
// slave, function, an answer's response time, bytes and what they mean to the reader. As a
// frame observer it only queues what it is told (a copy of shared byte arrays and a clock
// reading) and takes the queue in batches, so a card loop pays next to nothing per frame.
// It keeps the latest kMaxLines lines and counts the older ones it dropped; a file log, when
// one is on, gets every line. Texts are made only when a row is shown or written.
//
// Pausing freezes what the views see, not the recording: lines taken meanwhile are held
// (kept, saved, logged, counted) and shown on resume.
//
// A batch costs the loop what taking it in, laying the view out and repainting the window
// cost (some 5 to 10 ms on a busy 2-core machine, most of it Qt shaping the cells' text),
// so batches come no more often than keeps that cost at 2 % of the time: every 100 ms on a
// fast machine, 475 ms at 9.5 ms a batch, never less often than once a second.
class TrafficLog : public QAbstractTableModel, public FrameObserver {
    Q_OBJECT
public:
    enum Column { Time, Delta, Direction, Slave, Function, Response, Bytes, Meaning, ColumnCount };
    static constexpr int kMaxLines = 100'000;
    static constexpr int kMinBatchMs = 100;
    static constexpr int kMaxBatchMs = 1000;
    static constexpr int kCostShare = 50; // a batch's cost is at most 1/50 of its interval
    // A file log goes on in a new file once one has passed this size: 10 MB holds some
    // 100 000 lines, a file an editor still opens at once.
    static constexpr qint64 kFileLogBytes = 10 * 1024 * 1024;

    // How a line stands out in the view.
    enum class Mark { None, Failure, Exception, Dropped, Foreign };

    // `wallClock` gives milliseconds since the epoch; null means the system's clock.
    explicit TrafficLog(QObject *parent = nullptr, std::function<qint64()> wallClock = {});
    ~TrafficLog() override;

    void frameEvent(const FrameEvent &event) override;

    // Takes what is queued in now: the file log and the counts get it, and the views too
    // unless paused.
    void flush();
    // Empties the log, its counts included; a file log goes on.
    void clear();
    // While paused the views see no new line; recording goes on.
    void setPaused(bool paused);
    bool paused() const { return paused_; }
    void setLanguage(int language);
    int language() const { return language_; }
    // Time a view of the log spent on it (laying out, painting), for the batch interval.
    void addViewCost(double ms);
    int batchIntervalMs() const { return batch_.interval(); }

    // Lines kept: those shown (rowCount()) and those held by a pause after them.
    int lineCount() const { return int(lines_.size()); }
    int heldCount() const { return lineCount() - shown_; }
    // Lines the cap dropped since the start or the last clear.
    qint64 droppedCount() const { return dropped_; }
    // Failures, exceptions, dropped and foreign frames of each slave (as its column shows
    // it) since the start or the last clear.
    const std::array<quint32, 256> &errorsBySlave() const { return errors_; }

    // Continuous logging of every line from now on to `path`, as text or CSV, going on in
    // "name-2.ext", "name-3.ext", ... whenever a file passes maxBytes. False when the
    // file could not be opened.
    bool startFileLog(const QString &path, bool csv, qint64 maxBytes = kFileLogBytes);
    void stopFileLog();
    bool fileLogging() const { return fileLog_ != nullptr; }
    // The file being written now.
    QString fileLogPath() const;

    // The line as saved in a text file: the fields that have a value, two blanks apart, in
    // English, the time in ISO 8601 with its UTC offset.
    QString lineText(int row) const;
    // A field as saved (English; the time as the view shows it, the date on the first line
    // of a day). Any row up to lineCount().
    QString field(int row, Column column) const;
    // A field as the view shows it, in the log's language.
    QString shownField(int row, Column column) const;
    QString isoTime(int row) const;
    Mark mark(int row) const;
    // The slave the line's request went to; -1 for a link event.
    int askedSlave(int row) const;
    // The slave of the Slave column: a received frame's sender; -1 for a link event.
    int slaveOf(int row) const;
    // The function code of the Function column; -1 when there is none.
    int functionOf(int row) const;
    FrameEvent::Kind kindOf(int row) const { return FrameEvent::Kind(line(row).kind); }

    // Writes every line kept, after a first line that tells of the lines dropped if any;
    // false when the file could not be written.
    bool saveText(QIODevice &file) const;
    bool saveCsv(QIODevice &file) const;

    // QAbstractTableModel
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

signals:
    // After each batch was taken in, paused or not.
    void linesTaken();
    // The file log could not be written and stopped.
    void fileLogFailed(const QString &path);

private:
    struct Line {
        qint64 wallMs = 0;
        std::uint32_t linkMs = 0;
        std::uint8_t kind = 0; // FrameEvent::Kind
        Outcome outcome = Outcome::None;
        std::uint8_t slave = 0; // the request's
        std::uint8_t exceptionCode = 0;
        QByteArray bytes;
        QByteArray request; // the frame a response, failure or dropped frame answers (shared, not copied)
        QString detail;
    };
    class FileLog;

    const Line &line(int row) const { return lines_[std::size_t(row)]; }
    QString timeText(int row, bool alwaysDate) const;
    qint64 localMs(qint64 utcMs) const;
    QString meaning(const Line &l) const;
    int sender(const Line &l) const;
    int responseMs(int row) const;
    QString directionText(const Line &l, int language) const;
    QStringList csvRecord(int row) const;
    QString droppedText() const;
    void showHeld();
    void updateInterval();

    std::function<qint64()> wallClock_;
    std::deque<Line> lines_;
    int shown_ = 0; // the first lines_, the rows the views see
    std::vector<Line> pending_;
    QByteArray lastRequest_;
    // The latest request to each address since the open: what a dropped frame from there
    // (a late answer, most often) answers.
    std::array<QByteArray, 256> requestTo_;
    std::array<quint32, 256> errors_{};
    qint64 dropped_ = 0;
    std::unique_ptr<FileLog> fileLog_;
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
