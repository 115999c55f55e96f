// New slave address, reboot and factory settings: confirmed single-register writes sent
// through the raw command page.
#include "reader/registers.h"
#include "reader/valuetext.h"
#include "shell/frmmodule.h"
#include "shell/languagetable.h"

#include <QMessageBox>

namespace relvix {

static bool confirm(TfrmModule &w, int titleRow)
{
    const QString text = w.LanguageText(row::AreYouSure);
    const QString title = w.LanguageText(titleRow);
    if (w.services().askYesNo)
        return w.services().askYesNo(text, title);
    QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Yes | QMessageBox::No, &w);
    return box.exec() == QMessageBox::Yes;
}

static void sendWrite(TfrmModule &w, const QString &dataText)
{
    w.edCommandSend->setText(WriteFunctionText());
    w.edCommandSendData->setText(dataText);
    w.processMessages();
    w.btnSendCommandRTUClick();
}

void TfrmModule::sbIDChange()
{
    pnID->setText(QString::number(sbID->value()));
}

void TfrmModule::btnSetIDClick()
{
    if (!confirm(*this, row::SetId))
        return;
    sendWrite(*this, WriteDataText(reg::Address, static_cast<std::uint16_t>(sbID->value())));
    // The request went to the old address; from now on the reader is addressed at the new
    // one, whether or not it answered.
    sbSlave->setValue(sbID->value());
}

void TfrmModule::btnRebootClick()
{
    if (confirm(*this, row::SetReboot))
        sendWrite(*this, WriteDataText(reg::Maintenance, reg::Reboot));
}

void TfrmModule::btnInitialClick()
{
    if (confirm(*this, row::SetFactory))
        sendWrite(*this, WriteDataText(reg::Maintenance, reg::FactorySettings));
}

} // namespace relvix
