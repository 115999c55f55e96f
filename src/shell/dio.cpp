// Digital inputs and outputs: read both registers, write the outputs.
#include "reader/decode.h"
#include "shell/frmmodule.h"

namespace relvix {
namespace {
constexpr int kDiDoResponseLength = 9;
}

void TfrmModule::btnReadDiDoClick()
{
    if (!BeginOperation()) {
        ReportConnectError();
        return;
    }
    Pause(100);
    if (RunCommand(QStringLiteral("03"), QStringLiteral("01100002"), kDiDoResponseLength) &&
        link.state.responseLength == kDiDoResponseLength) {
        const auto &r = link.state.response;
        pnDiVal->setText(RegisterText(r[3], r[4]));
        pnDoVal->setText(RegisterText(r[5], r[6]));
        ReportCommandOk();
    } else {
        // The panels keep what they showed.
        ReportCommandError();
    }
}

void TfrmModule::btnSetDoClick()
{
    edCommandSend->setText(QStringLiteral("06"));
    // The value goes in exactly as typed; the command-text rule decides its bytes.
    edCommandSendData->setText(QStringLiteral("0111") + edSetDo->text());
    processMessages();
    btnSendCommandRTUClick();
}

} // namespace relvix
