#pragma once
#include "reader/cardreader.h"

#include <QAbstractTableModel>
#include <QDateTime>

#include <functional>
#include <optional>
#include <vector>

class QIODevice;

namespace relvix {

// Where a read came from: the slave that answered and the link ("COM3 19200,e,8,1",
// "192.168.1.101:4001").
struct CardSource {
    std::uint8_t slave = 0;
    QString link;
};

// Each new card UID and keypad code the window reads, once or in the loop. The reader keeps
// the last card and the last code until the next one comes or they are cleared, so a block
// that reads as it did the time before is the same card still there (or gone and not yet
// replaced) and makes no new row; an empty block (all zero: none yet, or cleared) makes
// none either. Clearing the list keeps that memory: a card still on the reader is not
// listed again.
class CardHistory : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { Time, Kind, Read, Format, Bytes, Slave, Link, ColumnCount };
    using Source = CardSource;
    static constexpr int kMaxRows = 100'000;

    // `wallClock` gives milliseconds since the epoch; null means the system's clock.
    explicit CardHistory(QObject *parent = nullptr, std::function<qint64()> wallClock = {});

    // The UID block as read and its text in the format chosen at that moment.
    void noteCard(const DataBlock &uid, const QString &text, const QString &format, bool lsb,
                  const Source &source = {});
    // The keypad block as read and its text as shown.
    void noteKeys(const DataBlock &keys, const QString &text, bool hex, const Source &source = {});
    void clear();
    void setLanguage(int language);

    QString field(int row, Column column) const;
    // One header line and a record per row; false when the file could not be written.
    bool saveCsv(QIODevice &file) const;

    // QAbstractTableModel
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    struct Row {
        qint64 wallMs = 0;
        bool card = true;
        QString text;
        QString format;
        DataBlock bytes{};
        Source source;
    };
    // Adds a row when `block` is neither empty nor what `last` already holds.
    void note(std::optional<DataBlock> &last, const DataBlock &block, Row row);
    QString displayed(int row, Column column) const;

    std::function<qint64()> wallClock_;
    std::vector<Row> rows_;
    std::optional<DataBlock> lastCard_;
    std::optional<DataBlock> lastKeys_;
    int language_ = 0;
};

} // namespace relvix
