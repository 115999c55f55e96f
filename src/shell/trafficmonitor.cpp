#include "shell/trafficmonitor.h"
#include "link/readerlink.h"
#include "shell/captions.h"
#include "shell/cardhistory.h"
#include "shell/toolstext.h"
#include "shell/toolwidgets.h"
#include "shell/trafficlog.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEvent>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QVBoxLayout>

#include <algorithm>
#include <vector>

namespace relvix {
namespace {

// The traffic view tells the log what laying its rows out took (a timer of the view after
// rows come or go); the monitor tells it what painting took.
class TrafficView : public QTableView {
public:
    TrafficView(QWidget *parent, TrafficLog &log) : QTableView(parent), log_(log) {}

protected:
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
    trafficView = tableView(new TrafficView(tsTraffic, *log_), "grdTraffic", log_.get());
    trafficPage->addWidget(trafficView);
    auto *trafficButtons = new QHBoxLayout;
    trafficPage->addLayout(trafficButtons);
    btnPause = toolButton(tsTraffic, trafficButtons, "btnPause");
    btnPause->setCheckable(true);
    btnClear = toolButton(tsTraffic, trafficButtons, "btnClear");
    btnSaveText = toolButton(tsTraffic, trafficButtons, "btnSaveText");
    btnSaveCsv = toolButton(tsTraffic, trafficButtons, "btnSaveCsv");
    trafficButtons->addStretch();
    lblLines = new QLabel(tsTraffic);
    lblLines->setObjectName(QStringLiteral("lblLines"));
    trafficButtons->addWidget(lblLines);

    tsCards = new QWidget;
    tsCards->setObjectName(QStringLiteral("tsCards"));
    tabs->addTab(tsCards, QString());
    auto *cardsPage = new QVBoxLayout(tsCards);
    cardsView = tableView(new QTableView(tsCards), "grdCards", &cards_);
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
    connect(log_.get(), &QAbstractItemModel::rowsAboutToBeInserted, this, [this] {
        const QScrollBar *bar = trafficView->verticalScrollBar();
        followEnd_ = bar->value() == bar->maximum();
    });
    connect(log_.get(), &QAbstractItemModel::rowsInserted, this, [this] {
        if (followEnd_)
            trafficView->scrollToBottom();
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
        showCounts();
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
    btnPause->setText(text(ToolText::Pause));
    btnClear->setText(text(ToolText::Clear));
    btnSaveText->setText(text(ToolText::SaveText));
    btnSaveCsv->setText(text(ToolText::SaveCsv));
    btnCardsSaveCsv->setText(text(ToolText::SaveCsv));
    btnCardsClear->setText(text(ToolText::Clear));
    log_->setLanguage(language);
    cards_.setLanguage(language);
    showCounts();

    // The widest texts each column shows in a card loop.
    const QString time = QStringLiteral("0000-00-00 00:00:00.000");
    const QString frame = QStringLiteral("00 ").repeated(21).trimmed(); // a block's answer
    fitColumns(trafficView,
               {{time},
                {QStringLiteral("FAIL silence"), QStringLiteral("OPEN-FAILED")},
                {QStringLiteral("000")},
                {QStringLiteral("00")},
                {frame}},
               TrafficLog::Bytes);
    fitColumns(cardsView,
               {{time},
                {text(ToolText::CardKind), text(ToolText::KeypadKind)},
                {QString(32, QLatin1Char('0')) + QStringLiteral(" (H)")},
                {QStringLiteral("8H10D LSB")}},
               CardHistory::Bytes);
    if (atEnd)
        trafficView->scrollToBottom();
}

void TrafficMonitor::showCounts()
{
    QString lines = toolText(language_, ToolText::LineCount).arg(log_->rowCount());
    if (log_->paused())
        lines += QStringLiteral(", ") + toolText(language_, ToolText::PausedNote);
    lblLines->setText(lines);
    lblCards->setText(toolText(language_, ToolText::RowCount).arg(cards_.rowCount()));
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
