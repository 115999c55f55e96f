#include "shell/cardhistory.h"
#include "shell/csvtext.h"
#include "shell/toolstext.h"

#include <QFontDatabase>

#include <algorithm>

namespace relvix {

CardHistory::CardHistory(QObject *parent, std::function<qint64()> wallClock)
    : QAbstractTableModel(parent), wallClock_(std::move(wallClock))
{
    if (!wallClock_)
        wallClock_ = [] { return QDateTime::currentMSecsSinceEpoch(); };
}

void CardHistory::note(std::optional<DataBlock> &last, const DataBlock &block, Row row)
{
    if (last == block)
        return;
    last = block;
    if (std::all_of(block.begin(), block.end(), [](std::uint8_t b) { return b == 0; }))
        return;
    if (rows_.size() >= std::size_t(kMaxRows)) {
        beginRemoveRows({}, 0, 0);
        rows_.erase(rows_.begin());
        endRemoveRows();
    }
    row.wallMs = wallClock_();
    row.bytes = block;
    const int at = int(rows_.size());
    beginInsertRows({}, at, at);
    rows_.push_back(std::move(row));
    endInsertRows();
}

void CardHistory::noteCard(const DataBlock &uid, const QString &text, const QString &format, bool lsb,
                           const Source &source)
{
    note(lastCard_, uid, {0, true, text, lsb ? format + QStringLiteral(" LSB") : format, {}, source});
}

void CardHistory::noteKeys(const DataBlock &keys, const QString &text, bool hex, const Source &source)
{
    note(lastKeys_, keys, {0, false, text, hex ? QStringLiteral("HEX") : QString(), {}, source});
}

void CardHistory::clear()
{
    beginResetModel();
    rows_.clear();
    rows_.shrink_to_fit();
    endResetModel();
}

void CardHistory::setLanguage(int language)
{
    language_ = language;
    emit headerDataChanged(Qt::Horizontal, 0, ColumnCount - 1);
    if (!rows_.empty())
        emit dataChanged(index(0, Kind), index(rowCount() - 1, Kind));
}

QString CardHistory::field(int row, Column column) const
{
    const Row &r = rows_[std::size_t(row)];
    switch (column) {
    case Time:
        return QDateTime::fromMSecsSinceEpoch(r.wallMs).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
    case Kind:
        return r.card ? QStringLiteral("card") : QStringLiteral("keys");
    case Read:
        return r.text;
    case Format:
        return r.format;
    case Bytes:
        return QString::fromLatin1(
            QByteArray(reinterpret_cast<const char *>(r.bytes.data()), qsizetype(r.bytes.size())).toHex().toUpper());
    case Slave:
        return QString::number(r.source.slave);
    case Link:
        return r.source.link;
    case ColumnCount:
        break;
    }
    return {};
}

QString CardHistory::displayed(int row, Column column) const
{
    if (column == Kind)
        return toolText(language_, rows_[std::size_t(row)].card ? ToolText::CardKind : ToolText::KeypadKind);
    return field(row, column);
}

bool CardHistory::saveCsv(QIODevice &file) const
{
    // The columns and kinds are the same in every language, for programs that read the file.
    if (!writeCsvRecord(file, {QStringLiteral("time"), QStringLiteral("kind"), QStringLiteral("read"),
                               QStringLiteral("format"), QStringLiteral("bytes"), QStringLiteral("slave"),
                               QStringLiteral("link")}))
        return false;
    for (int row = 0; row < rowCount(); ++row) {
        QStringList fields;
        for (int c = 0; c < ColumnCount; ++c)
            fields << field(row, Column(c));
        if (!writeCsvRecord(file, fields))
            return false;
    }
    return true;
}

int CardHistory::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(rows_.size());
}

int CardHistory::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant CardHistory::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= ColumnCount)
        return {};
    if (role == Qt::DisplayRole)
        return displayed(index.row(), Column(index.column()));
    if (role == Qt::FontRole && index.column() == Bytes) {
        static const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        return fixed;
    }
    return {};
}

QVariant CardHistory::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    static constexpr ToolText kHeaders[ColumnCount] = {
        ToolText::TimeColumn,  ToolText::KindColumn,  ToolText::ReadColumn, ToolText::FormatColumn,
        ToolText::BytesColumn, ToolText::SlaveColumn, ToolText::LinkColumn};
    if (section < 0 || section >= ColumnCount)
        return {};
    return toolText(language_, kHeaders[section]);
}

} // namespace relvix
