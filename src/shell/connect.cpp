// Connect: find the reader's address in up to three tries, remember the link settings that
// reached it, and read its serial number and firmware version.
#include "reader/valuetext.h"
#include "shell/frmmodule.h"
#include "shell/languagetable.h"

namespace relvix {
namespace {
constexpr int kAddressTries = 3;
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
        if (const auto address = reader.readAddress(slaveAddress())) {
            sbSlave->setValue(*address);
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

    // Read from the address the reader reported.
    if (const auto identity = reader.readIdentity(slaveAddress())) {
        pnVER->setText(VersionText(*identity));
        pnSN->setText(SerialNumberText(*identity));
    }
    // The address answered, so the connect succeeded whatever the identity read gave.
    ReportCommandOk();
}

void TfrmModule::sbSlaveChange()
{
    pnSlave->setText(QString::number(sbSlave->value()));
}

} // namespace relvix
