// The raw command page, also the common sender of the single-register writes.
#include "shell/frmmodule.h"

namespace relvix {

void TfrmModule::btnSendCommandRTUClick()
{
    edCommandRecv->clear();
    edCommandTran->clear();
    edTX->clear();
    edRX->clear();
    if (!BeginOperation()) {
        ReportConnectError();
        return;
    }
    Pause(100);
    const QString dataText = edCommandSendData->text();
    const QString functionText = edCommandSend->text();
    // Length 0: any CRC-valid response of 7 bytes or more counts.
    const bool ok = RunCommand(functionText, dataText, 0);
    if (ok)
        edCommandRecv->setText(link.state.receiveText);
    edCommandTran->setText(link.state.transmitText);
    if (ok)
        ReportCommandOk();
    else
        ReportCommandError();
}

} // namespace relvix
