#include "shell/trafficmonitor.h"
#include "link/readerlink.h"
#include "shell/captions.h"
#include "shell/cardhistory.h"
#include "shell/toolstext.h"
#include "shell/toolwidgets.h"
#include "shell/trafficlog.h"

#include <QAction>
#include <QClipboard>
#include <QDir>
#include <QElapsedTimer>
#include <QEvent>
#include <QFileDialog>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMessageBox>
#include <QScreen>
#include <QScrollBar>
#include <QSortFilterProxyModel>
#include <QStyle>
#include <QVBoxLayout>

#include <algorithm>
#include <vector>

namespace relvix {

// The traffic view's filter: by slave (the one asked or the sender), function, direction and
// a search over what the row shows. Link events (open, close) pass only with no filter on.
class TrafficFilter : public QSortFilterProxyModel {
public:
    // Its source is set only while a filter is on: a proxy that watches the log keeps a
    // mapping of every row, 1 MB for a full log.
    explicit TrafficFilter(TrafficLog &log) : log_(log) {}

    int slave = -1;
    int function = -1;
    bool tx = true, rx = true, fail = true, drop = true;
    QString search;

    bool active() const { return slave >= 0 || function >= 0 || !(tx && rx && fail && drop) || !search.isEmpty(); }
    void apply() { invalidateFilter(); }

protected:
    bool filterAcceptsRow(int row, const QModelIndex &) const override
    {
        using K = FrameEvent::Kind;
        const K kind = log_.kindOf(row);
        switch (kind) {
        case K::Request:
            if (!tx)
                return false;
            break;
        case K::Response:
            if (!rx)
                return false;
            break;
        case K::NoResponse:
        case K::OpenFailed:
            if (!fail)
                return false;
            break;
        case K::Dropped:
            if (!drop)
                return false;
            break;
        case K::Open:
        case K::Close:
            if (slave >= 0 || function >= 0 || !(tx && rx && fail && drop))
                return false;
            break;
        }
        if (slave >= 0 && log_.slaveOf(row) != slave && log_.askedSlave(row) != slave)
            return false;
        if (function >= 0 && log_.functionOf(row) != function && log_.functionOf(row) != (function | 0x80))
            return false;
        if (search.isEmpty())
            return true;
        for (auto column :
             {TrafficLog::Direction, TrafficLog::Slave, TrafficLog::Function, TrafficLog::Bytes, TrafficLog::Meaning})
            if (log_.shownField(row, column).contains(search, Qt::CaseInsensitive))
                return true;
        // The English words too, as the saved files have them.
        return log_.field(row, TrafficLog::Meaning).contains(search, Qt::CaseInsensitive);
    }

private:
    TrafficLog &log_;
};

namespace {

// The traffic view tells the log what laying its rows out took (a timer of the view after
// rows come or go); the monitor tells it what painting took.
class TrafficView : public QTableView {
public:
    TrafficView(QWidget *parent, TrafficLog &log) : QTableView(parent), log_(log) {}

    // The meaning takes the room the other columns leave, and never less than its usual
    // longest texts: a narrow window scrolls sideways instead of cutting them.
    int meaningWidth = 0;
    void fitMeaning()
    {
        int used = 0;
        for (int column = 0; column < TrafficLog::Meaning; ++column)
            used += columnWidth(column);
        const int width = std::max(meaningWidth, viewport()->width() - used);
        if (columnWidth(TrafficLog::Meaning) != width)
            setColumnWidth(TrafficLog::Meaning, width);
    }

protected:
    bool viewportEvent(QEvent *event) override
    {
        const bool handled = QTableView::viewportEvent(event);
        if (event->type() == QEvent::Resize)
            fitMeaning();
        return handled;
    }

    void timerEvent(QTimerEvent *event) override
    {
        QElapsedTimer took;
        took.start();
        QTableView::timerEvent(event);
        log_.addViewCost(double(took.nsecsElapsed()) / 1e6);
    }

private:
    TrafficLog &log_;
};

// A read-only table of one line per row: fixed row heights, so that 100 000 rows cost the
// view no more than the rows on screen.
QTableView *tableView(QTableView *view, const char *name, QAbstractItemModel *model)
{
    view->setObjectName(QLatin1String(name));
    view->setModel(model);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setWordWrap(false);
    view->setCornerButtonEnabled(false);
    // Tab moves on to the next control; the arrow keys move within the table.
    view->setTabKeyNavigation(false);
    view->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    QHeaderView *rows = view->verticalHeader();
    rows->hide();
    rows->setSectionResizeMode(QHeaderView::Fixed);
    QHeaderView *columns = view->horizontalHeader();
    columns->setStretchLastSection(true);
    columns->setHighlightSections(false);
    return view;
}

// Each column as wide as the widest of its header and the given samples, the bytes in the
// fixed font the models give them; the last column takes the rest.
void fitColumns(QTableView *view, const std::vector<QStringList> &samples, int bytesColumn)
{
    const QFontMetrics text(view->font());
    const QFontMetrics header(view->horizontalHeader()->font());
    const QFontMetrics fixed(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    const int padding = 2 * view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 12;
    QAbstractItemModel *model = view->model();
    for (int column = 0; column < int(samples.size()); ++column) {
        int width = header.horizontalAdvance(model->headerData(column, Qt::Horizontal).toString()) + padding + 8;
        for (const QString &sample : samples[std::size_t(column)])
            width = std::max(width, (column == bytesColumn ? fixed : text).horizontalAdvance(sample) + padding);
        view->setColumnWidth(column, width);
    }
    view->verticalHeader()->setDefaultSectionSize(std::max(text.height(), fixed.height()) + 4);
}

} // namespace

TrafficMonitor::TrafficMonitor(ReaderLink &link, CardHistory &cards, int language)
    : link_(link), cards_(cards), log_(std::make_unique<TrafficLog>())
{
    setObjectName(QStringLiteral("frmTrafficMonitor"));
    setWindowFlag(Qt::Window);

    auto *outer = new QVBoxLayout(this);
    tabs = new QTabWidget(this);
    tabs->setObjectName(QStringLiteral("pcTools"));
    outer->addWidget(tabs);

    tsTraffic = new QWidget;
    tsTraffic->setObjectName(QStringLiteral("tsTraffic"));
    tabs->addTab(tsTraffic, QString());
    auto *trafficPage = new QVBoxLayout(tsTraffic);
    filter_ = new TrafficFilter(*log_);
    filter_->setParent(this);
    auto *filterRow = new QHBoxLayout;
    trafficPage->addLayout(filterRow);
    lblFilterSlave = new QLabel(tsTraffic);
    lblFilterSlave->setObjectName(QStringLiteral("lblFilterSlave"));
    seFilterSlave = new QSpinBox(tsTraffic);
    seFilterSlave->setObjectName(QStringLiteral("seFilterSlave"));
    seFilterSlave->setRange(-1, 255);
    seFilterSlave->setValue(-1);
    lblFilterSlave->setBuddy(seFilterSlave);
    lblFilterFunction = new QLabel(tsTraffic);
    lblFilterFunction->setObjectName(QStringLiteral("lblFilterFunction"));
    seFilterFunction = new QSpinBox(tsTraffic);
    seFilterFunction->setObjectName(QStringLiteral("seFilterFunction"));
    seFilterFunction->setRange(-1, 255);
    seFilterFunction->setValue(-1);
    seFilterFunction->setDisplayIntegerBase(16);
    lblFilterFunction->setBuddy(seFilterFunction);
    filterRow->addWidget(lblFilterSlave);
    filterRow->addWidget(seFilterSlave);
    filterRow->addWidget(lblFilterFunction);
    filterRow->addWidget(seFilterFunction);
    const auto direction = [&](const char *name, const char *text) {
        auto *box = new QCheckBox(QLatin1String(text), tsTraffic);
        box->setObjectName(QLatin1String(name));
        box->setChecked(true);
        filterRow->addWidget(box);
        connect(box, &QCheckBox::toggled, this, &TrafficMonitor::applyFilter);
        return box;
    };
    chkTx = direction("chkTx", "TX");
    chkRx = direction("chkRx", "RX");
    chkFail = direction("chkFail", "FAIL");
    chkDrop = direction("chkDrop", "DROP");
    edSearch = new QLineEdit(tsTraffic);
    edSearch->setObjectName(QStringLiteral("edSearch"));
    edSearch->setClearButtonEnabled(true);
    filterRow->addWidget(edSearch, 1);
    connect(seFilterSlave, &QSpinBox::valueChanged, this, &TrafficMonitor::applyFilter);
    connect(seFilterFunction, &QSpinBox::valueChanged, this, &TrafficMonitor::applyFilter);
    // Each key would filter every line again: the search waits for a pause in the typing.
    auto *searchDelay = new QTimer(this);
    searchDelay->setSingleShot(true);
    searchDelay->setInterval(300);
    connect(edSearch, &QLineEdit::textChanged, searchDelay, qOverload<>(&QTimer::start));
    connect(searchDelay, &QTimer::timeout, this, &TrafficMonitor::applyFilter);
    connect(edSearch, &QLineEdit::returnPressed, this, [this, searchDelay] {
        searchDelay->stop();
        applyFilter();
    });

    trafficView = tableView(new TrafficView(tsTraffic, *log_), "grdTraffic", log_.get());
    trafficView->horizontalHeader()->setStretchLastSection(false);
    trafficPage->addWidget(trafficView);
    actCopy = new QAction(trafficView);
    actCopy->setShortcut(QKeySequence::Copy);
    actCopy->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(actCopy, &QAction::triggered, this, [this] { QGuiApplication::clipboard()->setText(selectedText()); });
    actSelectAll = new QAction(trafficView);
    actSelectAll->setShortcut(QKeySequence::SelectAll);
    actSelectAll->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(actSelectAll, &QAction::triggered, trafficView, &QTableView::selectAll);
    trafficView->addAction(actCopy);
    trafficView->addAction(actSelectAll);
    trafficView->setContextMenuPolicy(Qt::ActionsContextMenu);
    auto *trafficButtons = new QHBoxLayout;
    trafficPage->addLayout(trafficButtons);
    btnPause = toolButton(tsTraffic, trafficButtons, "btnPause");
    btnPause->setCheckable(true);
    btnClear = toolButton(tsTraffic, trafficButtons, "btnClear");
    btnSaveText = toolButton(tsTraffic, trafficButtons, "btnSaveText");
    btnSaveCsv = toolButton(tsTraffic, trafficButtons, "btnSaveCsv");
    btnLogFile = toolButton(tsTraffic, trafficButtons, "btnLogFile");
    btnLogFile->setCheckable(true);
    trafficButtons->addStretch();
    auto *counts = new QVBoxLayout;
    trafficButtons->addLayout(counts);
    lblLines = new QLabel(tsTraffic);
    lblLines->setObjectName(QStringLiteral("lblLines"));
    lblLines->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    counts->addWidget(lblLines);
    lblErrors = new QLabel(tsTraffic);
    lblErrors->setObjectName(QStringLiteral("lblErrors"));
    lblErrors->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    counts->addWidget(lblErrors);

    tsCards = new QWidget;
    tsCards->setObjectName(QStringLiteral("tsCards"));
    tabs->addTab(tsCards, QString());
    auto *cardsPage = new QVBoxLayout(tsCards);
    cardsView = tableView(new QTableView(tsCards), "grdCards", &cards_);
    tabs->setFocusPolicy(Qt::StrongFocus);
    cardsPage->addWidget(cardsView);
    auto *cardButtons = new QHBoxLayout;
    cardsPage->addLayout(cardButtons);
    btnCardsSaveCsv = toolButton(tsCards, cardButtons, "btnCardsSaveCsv");
    btnCardsClear = toolButton(tsCards, cardButtons, "btnCardsClear");
    cardButtons->addStretch();
    lblCards = new QLabel(tsCards);
    lblCards->setObjectName(QStringLiteral("lblCards"));
    cardButtons->addWidget(lblCards);

    // The view follows new lines while its last line is in sight, and stays put once the
    // user has scrolled back to read.
    connect(log_.get(), &TrafficLog::linesTaken, this, &TrafficMonitor::showCounts);
    connect(log_.get(), &TrafficLog::fileLogFailed, this, [this](const QString &path) {
        const QSignalBlocker quiet(btnLogFile);
        btnLogFile->setChecked(false);
        showCounts();
        auto *box = new QMessageBox(QMessageBox::Warning, toolText(language_, ToolText::MonitorTitle),
                                    toolText(language_, ToolText::LogFailed).arg(QDir::toNativeSeparators(path)),
                                    QMessageBox::Ok, this);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
    });
    // Told by the scroll bar, not when rows come: the view lays its rows out later (after a
    // filter or the model changes, a while after the rows), and the range grows then.
    QScrollBar *bar = trafficView->verticalScrollBar();
    connect(bar, &QScrollBar::valueChanged, this, [this, bar](int value) { followEnd_ = value == bar->maximum(); });
    connect(bar, &QScrollBar::rangeChanged, this, [this, bar](int, int maximum) {
        if (followEnd_)
            bar->setValue(maximum);
    });
    connect(&cards_, &QAbstractItemModel::rowsInserted, cardsView, &QTableView::scrollToBottom);
    for (QAbstractItemModel *model :
         {static_cast<QAbstractItemModel *>(log_.get()), static_cast<QAbstractItemModel *>(&cards_)}) {
        connect(model, &QAbstractItemModel::rowsInserted, this, &TrafficMonitor::showCounts);
        connect(model, &QAbstractItemModel::rowsRemoved, this, &TrafficMonitor::showCounts);
        connect(model, &QAbstractItemModel::modelReset, this, &TrafficMonitor::showCounts);
    }

    connect(btnPause, &QPushButton::toggled, this, [this](bool paused) {
        log_->setPaused(paused);
        btnPause->setText(toolText(language_, paused ? ToolText::Resume : ToolText::Pause));
        showCounts();
    });
    connect(btnLogFile, &QPushButton::toggled, this, [this](bool on) {
        if (!on) {
            stopFileLog();
            return;
        }
        // Pressed only once a file is chosen and open.
        {
            const QSignalBlocker quiet(btnLogFile);
            btnLogFile->setChecked(false);
        }
        auto *dialog = new QFileDialog(this);
        dialog->setObjectName(QStringLiteral("dlgLogFile"));
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->setAcceptMode(QFileDialog::AcceptSave);
        dialog->setNameFilters({toolText(language_, ToolText::TextFiles), toolText(language_, ToolText::CsvFiles)});
        dialog->setDefaultSuffix(QStringLiteral("txt"));
        dialog->setDirectory(QDir::homePath());
        dialog->selectFile(QStringLiteral("relvix-traffic-log.txt"));
        connect(dialog, &QFileDialog::filterSelected, dialog, [dialog](const QString &f) {
            dialog->setDefaultSuffix(f.contains(QStringLiteral("csv")) ? QStringLiteral("csv") : QStringLiteral("txt"));
        });
        connect(dialog, &QFileDialog::fileSelected, this, [this](const QString &path) { startFileLog(path); });
        dialog->open();
    });
    connect(btnClear, &QPushButton::clicked, log_.get(), &TrafficLog::clear);
    connect(btnSaveText, &QPushButton::clicked, this, [this] {
        chooseFile(QStringLiteral("relvix-traffic.txt"), false,
                   [this](const QString &path) { saveTraffic(path, false); });
    });
    connect(btnSaveCsv, &QPushButton::clicked, this, [this] {
        chooseFile(QStringLiteral("relvix-traffic.csv"), true,
                   [this](const QString &path) { saveTraffic(path, true); });
    });
    connect(btnCardsSaveCsv, &QPushButton::clicked, this, [this] {
        chooseFile(QStringLiteral("relvix-cards.csv"), true, [this](const QString &path) { saveCards(path); });
    });
    connect(btnCardsClear, &QPushButton::clicked, &cards_, &CardHistory::clear);

    setLanguage(language);
    // Room for every column of a card loop's longest line and some 30 characters of meaning.
    int width = 0;
    for (int column = 0; column < TrafficLog::Meaning; ++column)
        width += trafficView->columnWidth(column);
    width += trafficView->fontMetrics().horizontalAdvance(QString(30, QLatin1Char('x'))) + 60;
    if (const QScreen *where = QGuiApplication::primaryScreen())
        width = std::min(width, where->availableGeometry().width());
    resize(width, 520);
    link_.addObserver(log_.get());
}

TrafficMonitor::~TrafficMonitor()
{
    link_.removeObserver(log_.get());
    // QWidget's own destructor closes and hides the view, and its scroll bar then says its
    // range changed: by then this object is a plain QWidget, so nothing of ours may answer.
    trafficView->verticalScrollBar()->disconnect(this);
}

bool TrafficMonitor::event(QEvent *event)
{
    // Every repaint of the window, its table, header, scroll bar and line count together,
    // and the copy to the screen, happens in this one event.
    if (event->type() != QEvent::UpdateRequest)
        return QWidget::event(event);
    QElapsedTimer took;
    took.start();
    const bool handled = QWidget::event(event);
    log_->addViewCost(double(took.nsecsElapsed()) / 1e6);
    return handled;
}

void TrafficMonitor::setLanguage(int language)
{
    language_ = language;
    // Another font gives the rows another height: a view that showed the last line still does.
    const QScrollBar *bar = trafficView->verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    setToolFont(this, language);

    const auto text = [language](ToolText id) { return toolText(language, id); };
    setWindowTitle(text(ToolText::MonitorTitle));
    tabs->setTabText(tabs->indexOf(tsTraffic), text(ToolText::TrafficTab));
    tabs->setTabText(tabs->indexOf(tsCards), text(ToolText::CardsTab));
    btnPause->setText(text(btnPause->isChecked() ? ToolText::Resume : ToolText::Pause));
    btnLogFile->setText(text(ToolText::LogToFile));
    lblFilterSlave->setText(text(ToolText::FilterSlave));
    lblFilterFunction->setText(text(ToolText::FilterFunction));
    seFilterSlave->setSpecialValueText(text(ToolText::FilterAll));
    seFilterFunction->setSpecialValueText(text(ToolText::FilterAll));
    // The boxes' size hints keep the first language's "all": room for this one's.
    for (QSpinBox *box : {seFilterSlave, seFilterFunction})
        box->setMinimumWidth(box->fontMetrics().horizontalAdvance(text(ToolText::FilterAll) + QStringLiteral("000")) +
                             box->style()->pixelMetric(QStyle::PM_ScrollBarExtent) + 12);
    edSearch->setPlaceholderText(text(ToolText::SearchHint));
    actCopy->setText(text(ToolText::Copy));
    actSelectAll->setText(text(ToolText::SelectAll));
    btnClear->setText(text(ToolText::Clear));
    btnSaveText->setText(text(ToolText::SaveText));
    btnSaveCsv->setText(text(ToolText::SaveCsv));
    btnCardsSaveCsv->setText(text(ToolText::SaveCsv));
    btnCardsClear->setText(text(ToolText::Clear));
    log_->setLanguage(language);
    cards_.setLanguage(language);
    showCounts();

    fitTrafficColumns();
    // The widest texts each column shows.
    const QString time = QStringLiteral("0000-00-00 00:00:00.000");
    fitColumns(cardsView,
               {{time},
                {text(ToolText::CardKind), text(ToolText::KeypadKind)},
                {QString(32, QLatin1Char('0')) + QStringLiteral(" (H)")},
                {QStringLiteral("8H10D LSB")},
                {QString(32, QLatin1Char('0'))},
                {QStringLiteral("000")}},
               CardHistory::Bytes);
    if (atEnd)
        trafficView->scrollToBottom();
}

void TrafficMonitor::fitTrafficColumns()
{
    // The widest texts each column shows in this language: every direction with every
    // outcome word, a block's answer, the longest times.
    QStringList directions{QStringLiteral("OPEN-FAILED")};
    for (int o = 0; o <= int(Outcome::AnsweredTwice); ++o)
        for (auto kind : {FrameEvent::Kind::NoResponse, FrameEvent::Kind::Dropped})
            directions << frameEventTag(kind) + QLatin1Char(' ') + outcomeWord(language_, Outcome(o));
    const QString frame = QStringLiteral("00 ").repeated(21).trimmed();
    // The longest meanings of a connect and a card loop, in this language.
    int meaning = 0;
    for (const char *english : {"network 127.0.0.1:65535", "S/N 0012ABCD, VER 1A05", "card 1234567890ABCDEF",
                                "read S/N + version", "silence over 1000 ms"})
        meaning = std::max(meaning, trafficView->fontMetrics().horizontalAdvance(
                                        trafficWords(language_, QString::fromLatin1(english))));
    static_cast<TrafficView *>(trafficView)->meaningWidth = meaning + 24;
    fitColumns(trafficView,
               {{QStringLiteral("0000-00-00 00:00:00.000")},
                {QStringLiteral("00000")},
                directions,
                {QStringLiteral("000")},
                {QStringLiteral("00")},
                {QStringLiteral("0000")},
                {frame}},
               TrafficLog::Bytes);
    static_cast<TrafficView *>(trafficView)->fitMeaning();
}

void TrafficMonitor::showCounts()
{
    QStringList lines{toolText(language_, ToolText::LineCount).arg(log_->rowCount())};
    if (log_->droppedCount() > 0)
        lines << toolText(language_, ToolText::DroppedNote).arg(log_->droppedCount());
    if (log_->paused())
        lines << toolText(language_, ToolText::PausedNote).arg(log_->heldCount());
    if (log_->fileLogging())
        lines << toolText(language_, ToolText::LoggingNote).arg(QDir::toNativeSeparators(log_->fileLogPath()));
    lblLines->setText(lines.join(QStringLiteral(", ")));
    QStringList errors;
    const auto &bySlave = log_->errorsBySlave();
    for (std::size_t slave = 0; slave < bySlave.size(); ++slave)
        if (bySlave[slave] > 0)
            errors << QStringLiteral("%1: %2").arg(slave).arg(bySlave[slave]);
    lblErrors->setText(errors.isEmpty()
                           ? toolText(language_, ToolText::NoErrorsNote)
                           : toolText(language_, ToolText::ErrorsNote).arg(errors.join(QStringLiteral(", "))));
    lblCards->setText(toolText(language_, ToolText::RowCount).arg(cards_.rowCount()));
}

bool TrafficMonitor::filtering() const
{
    return trafficView->model() == filter_;
}

void TrafficMonitor::applyFilter()
{
    filter_->slave = seFilterSlave->value();
    filter_->function = seFilterFunction->value();
    filter_->tx = chkTx->isChecked();
    filter_->rx = chkRx->isChecked();
    filter_->fail = chkFail->isChecked();
    filter_->drop = chkDrop->isChecked();
    filter_->search = edSearch->text().trimmed();
    // The filter costs a mapping of every row: the view goes through it only while one is on.
    QAbstractItemModel *wanted =
        filter_->active() ? static_cast<QAbstractItemModel *>(filter_) : static_cast<QAbstractItemModel *>(log_.get());
    if (filter_->active()) {
        if (filter_->sourceModel() != log_.get())
            filter_->setSourceModel(log_.get());
        filter_->apply();
    }
    if (trafficView->model() != wanted) {
        std::vector<int> widths;
        for (int c = 0; c < TrafficLog::ColumnCount; ++c)
            widths.push_back(trafficView->columnWidth(c));
        trafficView->setModel(wanted);
        for (int c = 0; c < TrafficLog::ColumnCount; ++c)
            trafficView->setColumnWidth(c, widths[std::size_t(c)]);
        if (!filter_->active())
            filter_->setSourceModel(nullptr);
    }
    trafficView->scrollToBottom();
}

QString TrafficMonitor::selectedText() const
{
    const QAbstractItemModel *shown = trafficView->model();
    QModelIndexList rows =
        trafficView->selectionModel() ? trafficView->selectionModel()->selectedRows() : QModelIndexList();
    std::sort(rows.begin(), rows.end(), [](const QModelIndex &a, const QModelIndex &b) { return a.row() < b.row(); });
    QStringList text;
    for (const QModelIndex &index : rows) {
        const int row = shown == filter_ ? filter_->mapToSource(index).row() : index.row();
        QStringList fields{log_->isoTime(row)};
        for (int c = TrafficLog::Time + 1; c < TrafficLog::ColumnCount; ++c)
            fields << log_->shownField(row, TrafficLog::Column(c));
        text << fields.join(QLatin1Char('\t'));
    }
    return text.isEmpty() ? QString() : text.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

void TrafficMonitor::keyPressEvent(QKeyEvent *event)
{
    // Escape closes the window, as it closes a dialog.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        close();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

bool TrafficMonitor::startFileLog(const QString &path)
{
    const bool csv = path.endsWith(QStringLiteral(".csv"), Qt::CaseInsensitive);
    const bool started = log_->startFileLog(path, csv);
    {
        const QSignalBlocker quiet(btnLogFile);
        btnLogFile->setChecked(started);
    }
    showCounts();
    if (!started) {
        auto *box = new QMessageBox(QMessageBox::Warning, toolText(language_, ToolText::MonitorTitle),
                                    toolText(language_, ToolText::SaveFailed).arg(QDir::toNativeSeparators(path)),
                                    QMessageBox::Ok, this);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
    }
    return started;
}

void TrafficMonitor::stopFileLog()
{
    log_->stopFileLog();
    const QSignalBlocker quiet(btnLogFile);
    btnLogFile->setChecked(false);
    showCounts();
}

void TrafficMonitor::chooseFile(const QString &suggestedName, bool csv, std::function<void(const QString &)> save)
{
    chooseSaveFile(this, "dlgSaveTools", toolText(language_, csv ? ToolText::CsvFiles : ToolText::TextFiles),
                   csv ? QStringLiteral("csv") : QStringLiteral("txt"), suggestedName, std::move(save));
}

bool TrafficMonitor::writeFile(const QString &path, const std::function<bool(QIODevice &)> &write)
{
    return saveFile(this, path, write, toolText(language_, ToolText::MonitorTitle),
                    toolText(language_, ToolText::SaveFailed));
}

bool TrafficMonitor::saveTraffic(const QString &path, bool csv)
{
    log_->flush();
    return writeFile(path, [this, csv](QIODevice &file) { return csv ? log_->saveCsv(file) : log_->saveText(file); });
}

bool TrafficMonitor::saveCards(const QString &path)
{
    return writeFile(path, [this](QIODevice &file) { return cards_.saveCsv(file); });
}

} // namespace relvix
