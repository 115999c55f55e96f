#include "frmmodule.h"

#include "captions.h"
#include "cardhistory.h"
#include "findreaders.h"
#include "languagetable.h"
#include "settings/store.h"
#include "trafficmonitor.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPainter>
#include <QScreen>

#include <exception>

namespace relvix {

TfrmModule *frmModule = nullptr;

namespace {

// Caption of error boxes: the application title, not the window's own title.
const QString kApplicationTitle = QStringLiteral("Relvix");

} // namespace

// ---------------------------------------------------------------------------------------------

DisplayPanel::DisplayPanel(QWidget *parent) : QLabel(parent)
{
    setAlignment(Qt::AlignCenter);
    // The frame line and the bevel are painted here in fixed shades, so a panel's own text
    // colour (yellow on the status panel) never colours its border.
    setFrameStyle(QFrame::NoFrame);
    setContentsMargins(2, 2, 2, 2);
    setFocusPolicy(Qt::NoFocus);
    setAutoFillBackground(true);
    setTextFormat(Qt::PlainText);
}

void DisplayPanel::setBevel(Bevel bevel)
{
    bevel_ = bevel;
    update();
}

void DisplayPanel::paintEvent(QPaintEvent *event)
{
    QLabel::paintEvent(event);
    QPainter painter(this);
    const QRect outer = rect().adjusted(0, 0, -1, -1);
    painter.setPen(palette().color(QPalette::Shadow));
    painter.drawRect(outer);
    const QRect inner = outer.adjusted(1, 1, -1, -1);
    const QColor light = palette().color(QPalette::Light);
    const QColor dark = palette().color(QPalette::Dark);
    const QColor topLeft = bevel_ == Bevel::Raised ? light : dark;
    const QColor bottomRight = bevel_ == Bevel::Raised ? dark : light;
    painter.setPen(topLeft);
    painter.drawLine(inner.topLeft(), inner.topRight());
    painter.drawLine(inner.topLeft(), inner.bottomLeft());
    painter.setPen(bottomRight);
    painter.drawLine(inner.bottomLeft(), inner.bottomRight());
    painter.drawLine(inner.topRight(), inner.bottomRight());
}

LampShape::LampShape(QWidget *parent) : QWidget(parent)
{
    setFocusPolicy(Qt::NoFocus);
}

void LampShape::setBrushColor(const QColor &color)
{
    if (color_ == color)
        return;
    color_ = color;
    update();
}

void LampShape::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::black, 1));
    painter.setBrush(color_);
    // The largest circle that fits, centred in the shape's box, inside its one-pixel pen.
    const int diameter = qMin(width(), height()) - 1;
    const QRectF circle((width() - diameter) / 2.0, (height() - diameter) / 2.0, diameter, diameter);
    painter.drawEllipse(circle.adjusted(0.5, 0.5, -0.5, -0.5));
}

// ---------------------------------------------------------------------------------------------

TfrmModule::TfrmModule(WindowServices services, QWidget *parent)
    : QMainWindow(parent), link(*this, services.clock ? *services.clock : steadyClock(),
                                services.linkOpener ? *services.linkOpener : systemLinkOpener()),
      services_(std::move(services))
{
    frmModule = this;
    link.addObserver(this);
    installFontSubstitutions();
    buildLayout();
    wireHandlers();
    // An error inside the creation handler is shown and skips its remaining steps; the
    // window still comes up.
    runHandler([this] { FormCreate(); });
}

TfrmModule::~TfrmModule()
{
    if (portLister_)
        portLister_->wait();
    if (frmModule == this)
        frmModule = nullptr;
}

void TfrmModule::processMessages()
{
    QCoreApplication::processEvents();
}

void TfrmModule::showTransmitText(const QString &text)
{
    edTX->setText(text);
}

void TfrmModule::showReceiveText(const QString &text)
{
    edRX->setText(text);
}

QString TfrmModule::LanguageText(int row) const
{
    return LanguageTextFor(currentLanguage, row);
}

std::unique_ptr<SettingsStore> TfrmModule::openSettingsStore() const
{
    return services_.settingsStore ? services_.settingsStore() : makePlatformSettingsStore();
}

void TfrmModule::runHandler(const std::function<void()> &handler)
{
    // Counts nesting: a handler that processes messages can run another one inside it.
    struct Depth {
        int &depth;
        explicit Depth(int &d) : depth(d) { ++depth; }
        ~Depth() { --depth; }
    };
    {
        Depth depth(handlerDepth_);
        try {
            handler();
        } catch (const std::exception &error) {
            showHandlerError(QString::fromUtf8(error.what()));
        } catch (...) {
            showHandlerError(QStringLiteral("Unknown error."));
        }
    }
    if (handlerDepth_ == 0 && closePending_) {
        closePending_ = false;
        close();
    }
}

void TfrmModule::showHandlerError(const QString &message)
{
    QMessageBox::critical(this, kApplicationTitle, message, QMessageBox::Ok);
}

void TfrmModule::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (shownOnce_)
        return;
    shownOnce_ = true;
    centreOnScreen();
    runHandler([this] { FormShow(); });
}

void TfrmModule::centreOnScreen()
{
    const QScreen *where = screen() ? screen() : QGuiApplication::primaryScreen();
    if (!where)
        return;
    const QRect area = where->availableGeometry();
    const QSize outer = frameGeometry().size().expandedTo(size());
    move(area.x() + (area.width() - outer.width()) / 2, area.y() + (area.height() - outer.height()) / 2);
}

void TfrmModule::closeEvent(QCloseEvent *event)
{
    // The loop looks for the end request only between handlers: a handler that lets
    // messages through (card reading in a loop) finishes first, and the window stays.
    if (handlerDepth_ > 0) {
        closePending_ = true;
        // A scan ends within one exchange; the card loop ends only as its own handler says.
        if (findReaders_)
            findReaders_->cancelScan();
        event->ignore();
        return;
    }
    event->accept();
    // The tools' window would keep the program running on its own.
    if (trafficMonitor_)
        trafficMonitor_->close();
    if (findReaders_)
        findReaders_->close();
}

QPushButton *TfrmModule::buttonForEnter() const
{
    if (auto *focused = qobject_cast<QPushButton *>(focusWidget()))
        return focused;
    return btnConnect;
}

void TfrmModule::keyPressEvent(QKeyEvent *event)
{
    // Enter presses the default button (or a focused one). Edit fields and buttons leave the
    // key to the window; the multi-line field keeps it.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        QPushButton *button = buttonForEnter();
        if (button && button->isEnabled() && button->isVisible()) {
            button->click();
            event->accept();
            return;
        }
    }
    QMainWindow::keyPressEvent(event);
}

void TfrmModule::wireHandlers()
{
    const auto onClick = [this](QPushButton *button, void (TfrmModule::*handler)()) {
        connect(button, &QPushButton::clicked, this,
                [this, handler] { runHandler([this, handler] { (this->*handler)(); }); });
    };
    const auto onTrigger = [this](QAction *action, void (TfrmModule::*handler)()) {
        connect(action, &QAction::triggered, this,
                [this, handler] { runHandler([this, handler] { (this->*handler)(); }); });
    };

    onClick(btnConnect, &TfrmModule::btnConnectClick);
    // Position changes made by the program fire too, as the handlers expect.
    connect(sbSlave, &QScrollBar::valueChanged, this, [this] { runHandler([this] { sbSlaveChange(); }); });
    onClick(btnSendCommandRTU, &TfrmModule::btnSendCommandRTUClick);
    connect(sbID, &QScrollBar::valueChanged, this, [this] { runHandler([this] { sbIDChange(); }); });
    onClick(btnSetID, &TfrmModule::btnSetIDClick);
    onClick(btnReboot, &TfrmModule::btnRebootClick);
    onClick(btnInitial, &TfrmModule::btnInitialClick);
    onClick(btnUID, &TfrmModule::btnUIDClick);
    onClick(btnClearUID, &TfrmModule::btnClearUIDClick);
    onClick(btnReadDiDo, &TfrmModule::btnReadDiDoClick);
    onClick(btnSetDo, &TfrmModule::btnSetDoClick);
    onClick(btn19200, &TfrmModule::btn19200Click);
    onClick(btn9600, &TfrmModule::btn9600Click);
    onClick(btn115200, &TfrmModule::btn115200Click);
    connect(tmrBusy, &QTimer::timeout, this, [this] { runHandler([this] { tmrBusyTimer(); }); });
    onTrigger(mnuExit, &TfrmModule::mnuExitClick);
    onTrigger(mnuAbout, &TfrmModule::mnuAboutClick);
    onTrigger(mnuEnglish, &TfrmModule::mnuEnglishClick);
    onTrigger(mnuSimplified, &TfrmModule::mnuSimplifiedClick);
    onTrigger(mnuTraditional, &TfrmModule::mnuTraditionalClick);
    onTrigger(mnuTrafficMonitor, &TfrmModule::mnuTrafficMonitorClick);
    onTrigger(mnuFindReaders, &TfrmModule::mnuFindReadersClick);
}

} // namespace relvix
