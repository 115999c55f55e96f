// Digital inputs and outputs: read both registers, write the outputs.
#include "reader/registers.h"
#include "reader/valuetext.h"
#include "shell/frmmodule.h"

namespace relvix {

void TfrmModule::btnReadDiDoClick()
{
    if (!BeginOperation()) {
        ReportConnectError();
        return;
    }
    Pause(100);
    if (const auto io = reader.readIo(slaveAddress())) {
        pnDiVal->setText(RegisterText(io->inputs));
        pnDoVal->setText(RegisterText(io->outputs));
        ReportCommandOk();
    } else {
        // The panels keep what they showed.
        ReportCommandError();
    }
}

void TfrmModule::btnSetDoClick()
{
    edCommandSend->setText(WriteFunctionText());
    // The value goes in exactly as typed; the command-text rule decides its bytes.
    edCommandSendData->setText(RegisterText(reg::Outputs) + edSetDo->text());
    processMessages();
    btnSendCommandRTUClick();
}

} // namespace relvix
