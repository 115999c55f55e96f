// Connect: find the reader's address in up to three tries, remember the link settings that
// reached it, and read its serial number and firmware version.
#include "reader/decode.h"
#include "shell/frmmodule.h"
#include "shell/languagetable.h"

namespace relvix {
namespace {
constexpr int kAddressTries = 3;
constexpr int kAddressResponseLength = 7;
constexpr int kIdentityResponseLength = 11;
} // namespace

void TfrmModule::btnConnectClick()
{
    pnVER->setText(QString());
    pnSN->setText(QString());
    processMessages();
    if (!BeginOperation()) {
        ReportConnectError();
        return;
    }

    bool found = false;
    for (int attempt = 1; attempt <= kAddressTries; ++attempt) {
        Pause(100);
        processMessages();
        if (RunCommand(QStringLiteral("03"), QStringLiteral("01000001"), kAddressResponseLength) &&
            link.state.responseLength == kAddressResponseLength) {
            // Offset 3 is the register's high byte; only the low byte is the address.
            sbSlave->setValue(link.state.response[4]);
            processMessages();
            found = true;
            break;
        }
        // Counts down 4, 3, 2 after the first, second and third failed try.
        pnMsg->setText(LanguageText(row::ConnectingDevice) + QString::asprintf(" ( %d )", 5 - attempt));
        processMessages();
    }
    if (!found) {
        link.CloseLink();
        ReportConnectError();
        return;
    }

    // Only settings that a reader has just answered are remembered.
    SaveLinkSettings();
    Pause(10);
    processMessages();

    if (RunCommand(QStringLiteral("03"), QStringLiteral("01070003"), kIdentityResponseLength) &&
        link.state.responseLength == kIdentityResponseLength) {
        pnVER->setText(VersionText(link.state.response.data()));
        pnSN->setText(SerialNumberText(link.state.response.data()));
    }
    // The address answered, so the connect succeeded whatever the identity read gave.
    ReportCommandOk();
}

void TfrmModule::sbSlaveChange()
{
    pnSlave->setText(QString::number(sbSlave->value()));
}

} // namespace relvix
