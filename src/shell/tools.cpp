// The Tools menu: the traffic monitor with its card history, and Find readers.
#include "shell/cardhistory.h"
#include "shell/findreaders.h"
#include "shell/frmmodule.h"
#include "shell/toolstext.h"
#include "shell/trafficmonitor.h"

namespace relvix {

CardHistory &TfrmModule::cardHistory()
{
    if (!cardHistory_)
        cardHistory_ = std::make_unique<CardHistory>();
    return *cardHistory_;
}

QString TfrmModule::linkText() const
{
    const LinkState &s = link.state;
    return s.transport == Transport::Tcp ? QStringLiteral("%1:%2").arg(s.peerAddress, s.peerPort)
                                         : QStringLiteral("%1 %2").arg(s.portName, s.serialMode);
}

CardHistory::Source TfrmModule::cardSource() const
{
    // The window's rule takes the first valid frame from whichever slave: its first byte
    // says which one it was.
    const LinkState &s = link.state;
    const std::uint8_t sender = s.responseLength > 0 ? s.response[0] : std::uint8_t(s.slaveAddress);
    return {sender, linkText()};
}

void TfrmModule::mnuTrafficMonitorClick()
{
    // Made on first use: its views, models and observer cost start-up nothing.
    if (!trafficMonitor_)
        trafficMonitor_ = std::make_unique<TrafficMonitor>(link, cardHistory(), currentLanguage);
    if (!trafficMonitor_->isVisible()) {
        trafficMonitor_->show();
        return;
    }
    // Already open, perhaps behind the main window: brought to the front.
    trafficMonitor_->raise();
    trafficMonitor_->activateWindow();
}

void TfrmModule::mnuFindReadersClick()
{
    // Made on first use, like the monitor.
    if (!findReaders_)
        findReaders_ = std::make_unique<FindReadersDialog>(*this, currentLanguage);
    if (!findReaders_->isVisible()) {
        findReaders_->show();
        return;
    }
    findReaders_->raise();
    findReaders_->activateWindow();
}

void TfrmModule::captionTools()
{
    mnuTools->setTitle(toolText(currentLanguage, ToolText::ToolsMenu));
    mnuTrafficMonitor->setText(toolText(currentLanguage, ToolText::TrafficMonitorItem));
    mnuFindReaders->setText(toolText(currentLanguage, ToolText::FindReadersItem));
    if (trafficMonitor_)
        trafficMonitor_->setLanguage(currentLanguage);
    if (findReaders_)
        findReaders_->setLanguage(currentLanguage);
}

} // namespace relvix
