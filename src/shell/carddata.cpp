// Card UID and keypad code: read once or in a loop that its own button cancels; clear both
// blocks on the reader.
#include "reader/valuetext.h"
#include "shell/cardhistory.h"
#include "shell/frmmodule.h"
#include "shell/languagetable.h"

#include <array>

namespace relvix {
// Everything that could start another request or switch the link while the loop holds it.
static std::array<QWidget *, 10> loopLockedControls(TfrmModule &w)
{
    return {w.btnConnect, w.pcPort,   w.gbID,       w.btnClearUID, w.tsCommand,
            w.btnReboot,  w.btnSetID, w.btnInitial, w.btnReadDiDo, w.btnSetDo};
}

void TfrmModule::btnUIDClick()
{
    if (btnUIDTag == 1) {
        // Cancel: the running read sees the flag at the end of its pass.
        btnUIDTag = 0;
        btnUID->setText(LanguageText(row::ReadData));
        return;
    }
    if (cardReadRunning_) {
        // Pressed again after a cancel while the last pass still holds the link: a second
        // read inside the first would open a second link, so the press is ignored.
        return;
    }
    cardReadRunning_ = true;

    pnUID->setText(QString());
    pnKey->setText(QString());
    bool anyGoodRead = false;

    if (!BeginOperation()) {
        ReportConnectError();
    } else {
        for (;;) {
            btnUID->setText(LanguageText(row::Cancel));
            btnUIDTag = 1;
            Pause(50);
            processMessages();

            // Format, LSB, HEX and the slave address are read afresh in every pass; a failed
            // read leaves its panel as it was.
            if (const auto uid = reader.readCardBlock(slaveAddress())) {
                pnUID->setText(UidText(*uid, cmbFormat->currentIndex(), chkLSB->isChecked()));
                cardHistory().noteCard(*uid, pnUID->text(), cmbFormat->currentText(), chkLSB->isChecked(),
                                       cardSource());
                anyGoodRead = true;
            }
            Pause(50);
            if (const auto keys = reader.readKeypadBlock(slaveAddress())) {
                pnKey->setText(KeypadText(*keys, chkKeyHex->isChecked()));
                cardHistory().noteKeys(*keys, pnKey->text(), chkKeyHex->isChecked(), cardSource());
                anyGoodRead = true;
            }

            // Only Cancel or the Loop box end the reading. A close asked for meanwhile waits
            // for that (the window stays and keeps reading), then ends the program.
            if (!chkLoop->isChecked() || btnUIDTag != 1)
                break;

            setEnabled(true);
            for (QWidget *control : loopLockedControls(*this))
                control->setEnabled(false);
        }
        if (anyGoodRead)
            ReportCommandOk();
        else
            ReportCommandError();
    }

    for (QWidget *control : loopLockedControls(*this))
        control->setEnabled(true);
    btnUID->setText(LanguageText(row::ReadData));
    btnUIDTag = 0;
    cardReadRunning_ = false;
}

void TfrmModule::btnClearUIDClick()
{
    if (!BeginOperation()) {
        ReportConnectError();
        return;
    }
    Pause(100);
    processMessages();
    const bool uidCleared = reader.clearCardBlock(slaveAddress());
    Pause(50);
    const bool keysCleared = reader.clearKeypadBlock(slaveAddress());
    if (uidCleared || keysCleared)
        ReportCommandOk();
    else
        ReportCommandError();
}

} // namespace relvix
