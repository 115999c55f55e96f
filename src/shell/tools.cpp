// The Tools menu: the traffic monitor with its card history, and the seam of Find readers.
#include "shell/cardhistory.h"
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
    // The dialog comes with the bus scanner of the device core; the item stays disabled
    // until then.
}

void TfrmModule::captionTools()
{
    mnuTools->setTitle(toolText(currentLanguage, ToolText::ToolsMenu));
    mnuTrafficMonitor->setText(toolText(currentLanguage, ToolText::TrafficMonitorItem));
    mnuFindReaders->setText(toolText(currentLanguage, ToolText::FindReadersItem));
    if (trafficMonitor_)
        trafficMonitor_->setLanguage(currentLanguage);
}

} // namespace relvix
