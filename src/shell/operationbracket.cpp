// The bracket every reader operation runs in: busy state, link open, the command-text
// request of the raw page, and exactly one of the three reports at the end.
#include "link/commandtext.h"
#include "shell/frmmodule.h"
#include "shell/languagetable.h"
#include "shell/tone.h"

#include <QGuiApplication>
#include <QThread>

namespace relvix {
namespace {

const QColor kLampRed(255, 0, 0);
const QColor kLampYellow(255, 255, 0);

constexpr int kToneOkHz = 1000;
constexpr int kToneErrorHz = 300;
constexpr int kToneMs = 300;

// The hourglass is one screen-wide setting, not a stack: setting it twice and the default
// once must leave the default.
void setWaitCursor(bool wait)
{
    if (wait) {
        if (QGuiApplication::overrideCursor())
            QGuiApplication::changeOverrideCursor(Qt::WaitCursor);
        else
            QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    } else {
        while (QGuiApplication::overrideCursor())
            QGuiApplication::restoreOverrideCursor();
    }
}

} // namespace

static void playTone(const WindowServices &services, int hz)
{
    if (services.tone) {
        services.tone->play(hz, kToneMs);
        return;
    }
    // Made on first use and kept to the end of the process: an audio sink must not be torn
    // down by static destruction after the application object is gone.
    static auto *audio = new std::shared_ptr<TonePlayer>(makeAudioTonePlayer());
    (*audio)->play(hz, kToneMs);
}

bool TfrmModule::BeginOperation()
{
    setWaitCursor(true);
    processMessages();
    setEnabled(false);
    SetBusy(1);
    pnMsg->setText(LanguageText(row::ConnectingDevice));
    processMessages();
    if (pcPort->currentWidget() == tsCom) {
        link.state.transport = Transport::Serial;
        link.state.portName = cmbPort->currentText();
        link.state.serialMode = cmbBaudrate->currentText();
    }
    if (pcPort->currentWidget() == tsNet) {
        link.state.transport = Transport::Tcp;
        link.state.peerAddress = edIP->text();
        link.state.peerPort = edPort->text();
    }
    return link.OpenLink();
}

bool TfrmModule::RunCommand(const QString &functionText, const QString &dataText, std::int32_t expectedLength)
{
    const std::uint16_t slave = slaveAddress();
    const QByteArray bytes = CommandDataBytes(dataText);
    const std::uint8_t function = CommandFunctionCode(functionText);
    return reader.rawRequest(slave, function, bytes, expectedLength);
}

std::uint16_t TfrmModule::slaveAddress() const
{
    // Each request goes to the selector's position at its own start; the frame carries the
    // low byte.
    return static_cast<std::uint16_t>(sbSlave->value());
}

void TfrmModule::SetBusy(std::uint8_t on)
{
    if (on == 1) {
        tmrBusy->start();
        setEnabled(false);
    } else {
        setEnabled(true);
        tmrBusy->stop();
    }
}

void TfrmModule::tmrBusyTimer()
{
    // The phase survives stops and starts, so an operation may begin blinking either colour.
    if (tmrBusyTag == 1) {
        tmrBusyTag = 0;
        shComm->setBrushColor(kLampYellow);
    } else {
        tmrBusyTag = 1;
        shComm->setBrushColor(kLampRed);
    }
}

void TfrmModule::ReportConnectError()
{
    SetBusy(0);
    shComm->setBrushColor(kLampRed);
    pnMsg->setText(LanguageText(row::ConnectDeviceError));
    playTone(services(), kToneErrorHz);
    setWaitCursor(false);
    setEnabled(true);
}

// The two endings of an operation whose link opened: they differ only in text, lamp and tone.
static void endCommand(TfrmModule &w, int statusRow, const QColor &lamp, int toneHz)
{
    w.pnMsg->setText(w.LanguageText(statusRow));
    w.SetBusy(0);
    w.shComm->setBrushColor(lamp);
    playTone(w.services(), toneHz);
    w.link.CloseLink();
    setWaitCursor(false);
    w.setEnabled(true);
}

void TfrmModule::ReportCommandOk()
{
    endCommand(*this, row::CommandOk, kLampYellow, kToneOkHz);
}

void TfrmModule::ReportCommandError()
{
    endCommand(*this, row::CommandError, kLampRed, kToneErrorHz);
}

void TfrmModule::Pause(int ms)
{
    // A plain sleep: nothing is dispatched during these pauses.
    if (services().pause)
        services().pause(ms);
    else
        QThread::msleep(static_cast<unsigned long>(ms));
}

} // namespace relvix
