#include "shell/findreaders.h"
#include "reader/valuetext.h"
#include "shell/captions.h"
#include "shell/csvtext.h"
#include "shell/frmmodule.h"
#include "shell/languagetable.h"
#include "shell/toolstext.h"
#include "shell/toolwidgets.h"

#include <QCloseEvent>
#include <QDir>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QSet>
#include <QVBoxLayout>

namespace relvix {
namespace {

QSpinBox *spinBox(QWidget *parent, const char *name, int low, int high, int value)
{
    auto *s = new QSpinBox(parent);
    s->setObjectName(QLatin1String(name));
    s->setRange(low, high);
    s->setValue(value);
    return s;
}

// Why the latest open of the link failed, in the system's words where it could tell.
QString openFailureText(const OpenFailure &f)
{
    QString why = openFailureName(f.kind);
    if (f.kind == OpenFailure::Kind::InUse && !f.holder.isEmpty())
        why += QStringLiteral(" (%1)").arg(f.holder);
    else if (!f.systemText.isEmpty() && f.kind != OpenFailure::Kind::None)
        why += QStringLiteral(" (%1)").arg(f.systemText);
    else if (!f.systemText.isEmpty())
        why = f.systemText;
    return why;
}

// The identity as the command line's scan gives it: eight and four hex digits.
QString serialText(const ScanHit &hit)
{
    return hit.identity ? SerialNumberDigits(*hit.identity) : QString();
}

QString versionText(const ScanHit &hit)
{
    return hit.identity ? VersionDigits(*hit.identity) : QString();
}

} // namespace

FindReadersDialog::FindReadersDialog(TfrmModule &window, int language) : window_(window)
{
    setObjectName(QStringLiteral("frmFindReaders"));
    setWindowFlag(Qt::Window);

    auto *outer = new QVBoxLayout(this);
    auto *top = new QHBoxLayout;
    outer->addLayout(top);

    // The link: the main window's serial port, or its TCP target.
    gbLink_ = new QGroupBox(this);
    gbLink_->setObjectName(QStringLiteral("gbLink"));
    auto *linkBox = new QVBoxLayout(gbLink_);
    rbSerial = new QRadioButton(gbLink_);
    rbSerial->setObjectName(QStringLiteral("rbSerial"));
    rbTcp = new QRadioButton(gbLink_);
    rbTcp->setObjectName(QStringLiteral("rbTcp"));
    linkBox->addWidget(rbSerial);
    linkBox->addWidget(rbTcp);

    auto *range = new QGridLayout;
    lblAddresses_ = new QLabel(gbLink_);
    seFrom = spinBox(gbLink_, "seFrom", 1, 254, 1);
    lblTo_ = new QLabel(gbLink_);
    seTo = spinBox(gbLink_, "seTo", 1, 254, 254);
    lblTimeout_ = new QLabel(gbLink_);
    seTimeout = spinBox(gbLink_, "seTimeout", 0, 10000, 0);
    seTimeout->setSingleStep(10);
    range->addWidget(lblAddresses_, 0, 0);
    range->addWidget(seFrom, 0, 1);
    range->addWidget(lblTo_, 0, 2);
    range->addWidget(seTo, 0, 3);
    range->addWidget(lblTimeout_, 1, 0);
    range->addWidget(seTimeout, 1, 1, 1, 3);
    range->setColumnStretch(4, 1);
    linkBox->addLayout(range);
    linkBox->addStretch();
    top->addWidget(gbLink_, 1);

    gbModes = new QGroupBox(this);
    gbModes->setObjectName(QStringLiteral("gbModes"));
    auto *modesOuter = new QVBoxLayout(gbModes);
    auto *modesBox = new QGridLayout;
    modesOuter->addLayout(modesBox);
    QStringList modes = DefaultScanModes();
    for (const QString &mode : WideScanModes())
        if (!modes.contains(mode))
            modes << mode;
    modes << QString(); // the main window's own mode, when it is none of those
    const int columns = 3;
    for (const QString &mode : modes) {
        auto *box = new QCheckBox(mode, gbModes);
        const int at = int(chkModes.size());
        box->setObjectName(QStringLiteral("chkMode%1").arg(at));
        box->setVisible(!mode.isEmpty());
        modesBox->addWidget(box, at / columns, at % columns);
        chkModes.push_back(box);
    }
    auto *presets = new QHBoxLayout;
    modesOuter->addLayout(presets);
    btnUsual = toolButton(gbModes, presets, "btnUsual");
    btnWide = toolButton(gbModes, presets, "btnWide");
    presets->addStretch();
    top->addWidget(gbModes);

    auto *scanRow = new QHBoxLayout;
    outer->addLayout(scanRow);
    btnStart = toolButton(this, scanRow, "btnStart");
    btnCancel = toolButton(this, scanRow, "btnCancel");
    pbScan = new QProgressBar(this);
    pbScan->setObjectName(QStringLiteral("pbScan"));
    pbScan->setRange(0, 1);
    pbScan->setValue(0);
    pbScan->setFormat(QStringLiteral("%v / %m"));
    pbScan->setTextVisible(false); // until a scan has a count to show
    scanRow->addWidget(pbScan, 1);

    lblStatus = new QLabel(this);
    lblStatus->setObjectName(QStringLiteral("lblStatus"));
    lblStatus->setWordWrap(true);
    lblStatus->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    outer->addWidget(lblStatus);
    lblHint = new QLabel(this);
    lblHint->setObjectName(QStringLiteral("lblHint"));
    lblHint->setWordWrap(true);
    outer->addWidget(lblHint);

    grdFound = new QTableWidget(0, ColumnCount, this);
    grdFound->setObjectName(QStringLiteral("grdFound"));
    grdFound->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grdFound->setSelectionBehavior(QAbstractItemView::SelectRows);
    grdFound->setSelectionMode(QAbstractItemView::SingleSelection);
    grdFound->setWordWrap(false);
    grdFound->setTabKeyNavigation(false); // Tab moves on; the arrow keys move within
    grdFound->verticalHeader()->hide();
    grdFound->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    grdFound->horizontalHeader()->setStretchLastSection(true);
    grdFound->horizontalHeader()->setHighlightSections(false);
    outer->addWidget(grdFound, 1);

    auto *resultRow = new QHBoxLayout;
    outer->addLayout(resultRow);
    btnUse = toolButton(this, resultRow, "btnUse");
    btnExport = toolButton(this, resultRow, "btnExport");
    resultRow->addStretch();

    connect(rbSerial, &QRadioButton::toggled, this, [this] { updateButtons(); });
    connect(btnStart, &QPushButton::clicked, this, [this] { startScan(); });
    connect(btnUsual, &QPushButton::clicked, this, &FindReadersDialog::tickUsual);
    connect(btnWide, &QPushButton::clicked, this, [this] {
        const QStringList wide = WideScanModes();
        for (QCheckBox *box : chkModes)
            if (wide.contains(box->text()))
                box->setChecked(true);
    });
    connect(btnCancel, &QPushButton::clicked, this, &FindReadersDialog::cancelScan);
    connect(btnUse, &QPushButton::clicked, this, [this] { useRow(grdFound->currentRow()); });
    connect(grdFound, &QTableWidget::cellDoubleClicked, this, [this](int row, int) { useRow(row); });
    connect(grdFound, &QTableWidget::itemSelectionChanged, this, &FindReadersDialog::updateButtons);
    connect(btnExport, &QPushButton::clicked, this, [this] {
        chooseSaveFile(this, "dlgSaveReaders", toolText(language_, ToolText::CsvFiles), QStringLiteral("csv"),
                       QStringLiteral("relvix-readers.csv"), [this](const QString &path) { exportCsv(path); });
    });
    // The port and target shown follow the main window's fields.
    connect(window_.cmbPort, &QComboBox::editTextChanged, this, &FindReadersDialog::followWindow);
    connect(window_.cmbBaudrate, &QComboBox::editTextChanged, this, &FindReadersDialog::followWindow);
    connect(window_.edIP, &QLineEdit::textChanged, this, &FindReadersDialog::followWindow);
    connect(window_.edPort, &QLineEdit::textChanged, this, &FindReadersDialog::followWindow);

    (window_.pcPort->currentWidget() == window_.tsNet ? rbTcp : rbSerial)->setChecked(true);
    followWindow();
    tickUsual();
    setLanguage(language);
    resize(std::max(sizeHint().width(), 620), 480);
}

FindReadersDialog::~FindReadersDialog() = default;

void FindReadersDialog::showEvent(QShowEvent *event)
{
    // Each time it comes up, on the transport the main window has selected.
    if (!scanning_)
        (window_.pcPort->currentWidget() == window_.tsNet ? rbTcp : rbSerial)->setChecked(true);
    followWindow();
    QWidget::showEvent(event);
}

void FindReadersDialog::closeEvent(QCloseEvent *event)
{
    cancelScan(); // closing does not leave a scan running unseen
    QWidget::closeEvent(event);
}

void FindReadersDialog::tickUsual()
{
    const QStringList usual = DefaultScanModes();
    for (QCheckBox *box : chkModes)
        box->setChecked(box == chkModes.back() ? ownOffered_ : usual.contains(box->text()));
    followWindow();
    const QString mode = window_.cmbBaudrate->currentText().trimmed();
    for (QCheckBox *box : chkModes)
        if ((box != chkModes.back() || ownOffered_) && box->text().compare(mode, Qt::CaseInsensitive) == 0)
            box->setChecked(true);
}

int FindReadersDialog::distinctReaders() const
{
    QSet<QString> readers;
    for (const Row &r : rows_)
        readers.insert(r.hit.identity ? QStringLiteral("s%1").arg(r.hit.identity->serialNumber)
                                      : QStringLiteral("a%1").arg(r.hit.address));
    return int(readers.size());
}

void FindReadersDialog::keyPressEvent(QKeyEvent *event)
{
    const bool plain = (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    if (event->key() == Qt::Key_Escape && plain) {
        close(); // which cancels a running scan first
        event->accept();
        return;
    }
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && plain) {
        // A focused button is pressed, a result row is used, and anywhere else Enter starts.
        if (auto *button = qobject_cast<QPushButton *>(focusWidget())) {
            if (button->isEnabled())
                button->click();
        } else if (focusWidget() == grdFound) {
            useRow(grdFound->currentRow());
        } else if (btnStart->isEnabled()) {
            btnStart->click();
        }
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void FindReadersDialog::setLanguage(int language)
{
    language_ = language;
    setToolFont(this, language);

    const auto text = [language](ToolText id) { return toolText(language, id); };
    setWindowTitle(text(ToolText::FinderTitle));
    gbLink_->setTitle(text(ToolText::LinkGroup));
    gbModes->setTitle(text(ToolText::ModesGroup));
    lblAddresses_->setText(text(ToolText::AddressesLabel));
    lblTo_->setText(text(ToolText::AddressesTo));
    lblTimeout_->setText(text(ToolText::ScanTimeoutLabel));
    seTimeout->setSpecialValueText(text(ToolText::AutomaticTimeout));
    btnStart->setText(text(ToolText::Start));
    btnCancel->setText(text(ToolText::CancelScan));
    btnUse->setText(text(ToolText::Use));
    btnExport->setText(text(ToolText::ExportCsv));
    btnWide->setText(text(ToolText::WidePreset));
    btnUsual->setText(text(ToolText::UsualPreset));
    grdFound->setHorizontalHeaderLabels({text(ToolText::ModeColumn), text(ToolText::AddressColumn),
                                         text(ToolText::SerialNumberColumn), text(ToolText::VersionColumn),
                                         text(ToolText::ResponseColumn), text(ToolText::NoteColumn)});
    for (int row = 0; row < int(rows_.size()); ++row)
        showRowTexts(row);
    // Rows of one line; room for two lines of status, so that a long one moves nothing.
    grdFound->verticalHeader()->setDefaultSectionSize(grdFound->fontMetrics().height() + 6);
    lblStatus->setMinimumHeight(2 * lblStatus->fontMetrics().lineSpacing());
    fitColumns();
    followWindow();
    showStatus();
    updateButtons();
}

void FindReadersDialog::followWindow()
{
    if (scanning_)
        return; // the scan goes on with what it started with
    rbSerial->setText(toolText(language_, ToolText::SerialChoice).arg(window_.cmbPort->currentText()));
    rbTcp->setText(toolText(language_, ToolText::TcpChoice).arg(window_.edIP->text(), window_.edPort->text()));
    // The main window's mode is offered too, unticked, when it is none of the usual ones.
    QCheckBox *own = chkModes.back();
    const QString mode = window_.cmbBaudrate->currentText().trimmed();
    bool listed = false;
    for (std::size_t i = 0; i + 1 < chkModes.size(); ++i)
        listed = listed || chkModes[i]->text().compare(mode, Qt::CaseInsensitive) == 0;
    const bool offered = !mode.isEmpty() && !listed;
    if (own->text() != mode)
        own->setChecked(offered); // the window's own mode is tried too
    // Its box among the others is ticked, as its own would be.
    for (std::size_t i = 0; listed && i + 1 < chkModes.size() && own->text() != mode; ++i)
        if (chkModes[i]->text().compare(mode, Qt::CaseInsensitive) == 0)
            chkModes[i]->setChecked(true);
    own->setText(mode);
    own->setVisible(offered);
    ownOffered_ = offered;
}

QString FindReadersDialog::linkText(const Row &row) const
{
    return row.transport == Transport::Tcp ? QStringLiteral("%1:%2").arg(row.peerAddress, row.peerPort)
                                           : QStringLiteral("%1 %2").arg(row.portName, row.hit.mode);
}

bool FindReadersDialog::startScan()
{
    if (scanning_)
        return false;
    followWindow();
    // The window's link is open only during one of its operations, and that one has it.
    if (window_.link.isOpen() || window_.handlerDepth() > 0 || !window_.isEnabled()) {
        status_ = Status::Busy;
        showStatus();
        return false;
    }
    ScanSettings s;
    s.transport = rbTcp->isChecked() ? Transport::Tcp : Transport::Serial;
    s.portName = window_.cmbPort->currentText();
    s.peerAddress = window_.edIP->text();
    s.peerPort = window_.edPort->text();
    for (QCheckBox *box : chkModes)
        if (box->isChecked() && (box != chkModes.back() || ownOffered_))
            s.modes << box->text();
    s.from = seFrom->value();
    s.to = seTo->value();
    s.scanTimeoutMs = seTimeout->value();
    if (s.transport == Transport::Serial && s.modes.isEmpty()) {
        status_ = Status::NoModes;
        showStatus();
        return false;
    }
    if (s.from > s.to) {
        status_ = Status::EmptyRange;
        showStatus();
        return false;
    }

    settings_ = s;
    rows_.clear();
    grdFound->setRowCount(0);
    result_ = {};
    progress_ = {};
    cancel_ = false;
    // The controls are disabled while it scans, and the focus leaves them for the first one
    // that is not: put back at the end, or on the readers found.
    QWidget *focused = focusWidget();
    scanning_ = true;
    status_ = Status::Scanning;
    scanClock_.start();
    lblHint->clear();
    updateButtons();
    showStatus();

    // The main window's busy state: its operations disabled, the lamp blinking. Its status
    // text and lamp colour are its last operation's, and come back afterwards.
    const QColor lamp = window_.shComm->brushColor();
    window_.SetBusy(1);
    BusScan scan(window_.link);
    scan.onProgress = [this](const ScanProgress &p) {
        progress_ = p;
        showStatus();
        // A TCP exchange waits in the system: the window paints and takes Cancel between them.
        window_.processMessages();
    };
    scan.onHit = [this, &s](const ScanHit &hit) {
        addRow({s.transport, s.portName, s.peerAddress, s.peerPort, hit});
        window_.processMessages();
    };
    scan.stopRequested = [this] { return cancel_; };
    // As a handler of the window: a close asked for meanwhile waits for the scan's end.
    window_.runHandler([&] { result_ = scan.run(s); });
    window_.SetBusy(0);
    window_.shComm->setBrushColor(lamp);

    scanning_ = false;
    status_ = Status::Done;
    if (result_.openFailed) {
        const OpenFailure &f = window_.link.openFailure();
        failure_ = openFailureText(f);
    } else if (result_.lost) {
        failure_ = window_.link.lastResult().lostReason;
        if (failure_.isEmpty())
            failure_ = window_.link.lastResult().detail;
    }
    followWindow();
    updateButtons();
    showStatus();
    if (!rows_.empty())
        grdFound->setFocus(Qt::OtherFocusReason); // Enter uses the selected reader
    else if (focused && focused->isEnabled() && isAncestorOf(focused))
        focused->setFocus(Qt::OtherFocusReason);
    else
        btnStart->setFocus(Qt::OtherFocusReason);
    return true;
}

void FindReadersDialog::cancelScan()
{
    if (scanning_)
        cancel_ = true;
    updateButtons();
}

void FindReadersDialog::addRow(const Row &row)
{
    rows_.push_back(row);
    const int at = grdFound->rowCount();
    grdFound->insertRow(at);
    for (int column = 0; column < ColumnCount; ++column)
        grdFound->setItem(at, column, new QTableWidgetItem);
    showRowTexts(at);
    fitColumns();
    if (at == 0)
        grdFound->selectRow(0);
}

void FindReadersDialog::fitColumns()
{
    // The note takes the rest of the width.
    for (int column = 0; column < NoteCol; ++column)
        grdFound->resizeColumnToContents(column);
}

void FindReadersDialog::showRowTexts(int row)
{
    const Row &r = rows_[std::size_t(row)];
    const ScanHit &hit = r.hit;
    const auto set = [&](int column, const QString &text) { grdFound->item(row, column)->setText(text); };
    set(ModeCol, r.transport == Transport::Tcp ? QStringLiteral("TCP") : hit.mode);
    set(AddressCol, QString::number(hit.address));
    set(SerialCol, serialText(hit));
    set(VersionCol, versionText(hit));
    set(ResponseCol, QString::number(hit.responseMs));
    QStringList notes;
    if (hit.late)
        notes << toolText(language_, ToolText::LateNote);
    if (!hit.identity)
        notes << toolText(language_, ToolText::NoIdentityNote);
    set(NoteCol, notes.join(QStringLiteral("; ")));
    for (int column : {AddressCol, ResponseCol})
        grdFound->item(row, column)->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
}

void FindReadersDialog::showStatus()
{
    const auto text = [this](ToolText id) { return toolText(language_, id); };
    QString line;
    switch (status_) {
    case Status::None:
        break;
    case Status::Scanning:
        line = text(ToolText::ScanningStatus)
                   .arg(progress_.mode.isEmpty() ? QStringLiteral("TCP") : progress_.mode)
                   .arg(progress_.address)
                   .arg(progress_.done)
                   .arg(progress_.total);
        // The rest at the pace so far: silent addresses cost the time-out each.
        if (progress_.done > 0 && progress_.total > progress_.done) {
            const qint64 left = scanClock_.elapsed() * (progress_.total - progress_.done) / progress_.done;
            line += QStringLiteral(", ") + text(ToolText::TimeLeftNote).arg((left + 999) / 1000);
        }
        break;
    case Status::Done:
        if (result_.openFailed)
            line = text(ToolText::OpenFailedStatus)
                       .arg(settings_.transport == Transport::Tcp
                                ? QStringLiteral("%1:%2").arg(settings_.peerAddress, settings_.peerPort)
                                : QStringLiteral("%1 %2").arg(settings_.portName, result_.openFailedMode),
                            failure_);
        else if (result_.lost)
            line = text(ToolText::LinkLostStatus).arg(failure_);
        else {
            line = text(result_.stopped ? ToolText::CancelledStatus : ToolText::FoundStatus)
                       .arg(distinctReaders())
                       .arg(result_.done)
                       .arg(result_.total);
            if (int(rows_.size()) != distinctReaders())
                line += QStringLiteral(" (") + text(ToolText::HitsNote).arg(rows_.size()) + QLatin1Char(')');
        }
        showHint();
        break;
    case Status::Busy:
        line = text(ToolText::BusyStatus);
        break;
    case Status::NoModes:
        line = text(ToolText::NoModesStatus);
        break;
    case Status::EmptyRange:
        line = text(ToolText::EmptyRangeStatus);
        break;
    case Status::Used:
        if (usedRow_ >= 0 && usedRow_ < int(rows_.size()))
            line = text(ToolText::UsedStatus)
                       .arg(rows_[std::size_t(usedRow_)].hit.address)
                       .arg(linkText(rows_[std::size_t(usedRow_)]));
        break;
    }
    lblStatus->setText(line);
    if (status_ == Status::Scanning) {
        pbScan->setRange(0, std::max(progress_.total, 1));
        pbScan->setValue(progress_.done);
    } else if (status_ == Status::Done) {
        pbScan->setRange(0, std::max(result_.total, 1));
        pbScan->setValue(result_.done);
    }
    if (status_ == Status::Scanning || status_ == Status::Done)
        pbScan->setTextVisible(true);
}

void FindReadersDialog::showHint()
{
    // As the command line says it: how many came late, the time-out they missed, the
    // slowest, and the time-out that finds them at once.
    int late = 0, timeout = 0;
    std::uint32_t slowest = 0;
    for (const Row &r : rows_) {
        if (!r.hit.late)
            continue;
        ++late;
        slowest = std::max(slowest, r.hit.responseMs);
        timeout = settings_.scanTimeoutMs > 0
                      ? settings_.scanTimeoutMs
                      : DefaultScanTimeoutMs(r.hit.mode.section(QLatin1Char(','), 0, 0).toInt());
    }
    lblHint->setText(late == 0 ? QString()
                               : toolText(language_, ToolText::LateHint)
                                     .arg(late)
                                     .arg(timeout)
                                     .arg(slowest)
                                     .arg(SuggestedScanTimeoutMs(slowest)));
}

void FindReadersDialog::updateButtons()
{
    btnStart->setEnabled(!scanning_);
    btnCancel->setEnabled(scanning_ && !cancel_);
    const bool haveRow = grdFound->currentRow() >= 0 && grdFound->currentRow() < int(rows_.size());
    btnUse->setEnabled(!scanning_ && haveRow);
    btnExport->setEnabled(!scanning_ && !rows_.empty());
    gbLink_->setEnabled(!scanning_);
    gbModes->setEnabled(!scanning_ && rbSerial->isChecked());
}

bool FindReadersDialog::useRow(int row)
{
    if (scanning_ || row < 0 || row >= int(rows_.size()))
        return false;
    const Row &r = rows_[std::size_t(row)];
    TfrmModule &w = window_;
    // Only the fields: Connect reads them, and saves them once a reader has answered there.
    if (r.transport == Transport::Tcp) {
        w.pcPort->setCurrentWidget(w.tsNet);
        w.edIP->setText(r.peerAddress);
        w.edPort->setText(r.peerPort);
    } else {
        w.ensurePortList();
        w.pcPort->setCurrentWidget(w.tsCom);
        w.cmbPort->setEditText(r.portName);
        w.cmbBaudrate->setEditText(r.hit.mode);
    }
    w.sbSlave->setValue(r.hit.address);
    usedRow_ = row;
    status_ = Status::Used;
    showStatus();
    w.raise();
    w.activateWindow();
    return true;
}

bool FindReadersDialog::exportCsv(const QString &path)
{
    const auto write = [this](QIODevice &file) {
        // The columns are the same in every language, for programs that read the file.
        bool written =
            writeCsvRecord(file, {QStringLiteral("transport"), QStringLiteral("port"), QStringLiteral("mode"),
                                  QStringLiteral("address"), QStringLiteral("serial"), QStringLiteral("version"),
                                  QStringLiteral("response_ms"), QStringLiteral("late")});
        for (const Row &r : rows_) {
            if (!written)
                break;
            const bool tcp = r.transport == Transport::Tcp;
            written = writeCsvRecord(file, {tcp ? QStringLiteral("tcp") : QStringLiteral("serial"),
                                            tcp ? QStringLiteral("%1:%2").arg(r.peerAddress, r.peerPort) : r.portName,
                                            r.hit.mode, QString::number(r.hit.address), serialText(r.hit),
                                            versionText(r.hit), QString::number(r.hit.responseMs),
                                            r.hit.late ? QStringLiteral("yes") : QString()});
        }
        return written;
    };
    return saveFile(this, path, write, toolText(language_, ToolText::FinderTitle),
                    toolText(language_, ToolText::SaveFailed));
}

} // namespace relvix
