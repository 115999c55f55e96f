#include "frmmodule.h"

#include "link/portlist.h"
#include "settings/settings.h"
#include "settings/store.h"

#include <QMessageBox>

namespace relvix {

// ---- settings of the window ----------------------------------------------------------------

Transport TfrmModule::LoadSettings()
{
    StoredSettings stored;
    if (auto store = openSettingsStore())
        stored = LoadSettingsFrom(*store);
    link.state.portName = stored.portName;
    link.state.serialMode = stored.serialMode;
    link.state.peerPort = stored.peerPort;
    link.state.peerAddress = stored.peerAddress;
    currentLanguage = stored.currentLanguage;
    languageFlag = stored.languageFlag;
    return stored.transport;
}

void TfrmModule::ListSerialPorts()
{
    cmbPort->clear();
    cmbPort->clearEditText();
    // Walking the system's serial ports (udev, /sys/class/tty) took a third of a second of
    // some starts. It runs beside the building and showing of the window; the list is filled
    // in when it is done, or at once when a person reaches for the field before that.
    auto source = services_.serialPorts ? services_.serialPorts : std::function<QStringList()>(systemSerialPortNames);
    portLister_.reset(QThread::create([this, source] { listedPorts_ = source(); }));
    connect(portLister_.get(), &QThread::finished, this, &TfrmModule::ensurePortList);
    for (QObject *part : {static_cast<QObject *>(cmbPort), static_cast<QObject *>(cmbPort->lineEdit())})
        part->installEventFilter(this);
    portLister_->start();
}

void TfrmModule::ensurePortList()
{
    if (!portLister_)
        return;
    portLister_->wait();
    portLister_.reset();
    for (QObject *part : {static_cast<QObject *>(cmbPort), static_cast<QObject *>(cmbPort->lineEdit())})
        part->removeEventFilter(this);
    // The field keeps its text, as start-up set it or as typed since: filling an empty list
    // would put the first entry there.
    QLineEdit *field = cmbPort->lineEdit();
    const QString text = cmbPort->currentText();
    const int cursor = field->cursorPosition();
    cmbPort->addItems(PortListFrom(listedPorts_));
    cmbPort->setCurrentIndex(0);
    cmbPort->setEditText(text);
    field->setCursorPosition(cursor);
}

bool TfrmModule::eventFilter(QObject *watched, QEvent *event)
{
    // The list must be there before the field can be opened, scrolled, completed or typed in.
    switch (event->type()) {
    case QEvent::FocusIn:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
    case QEvent::KeyPress:
    case QEvent::Wheel:
        ensurePortList();
        break;
    default:
        break;
    }
    return QMainWindow::eventFilter(watched, event);
}

void TfrmModule::SaveLinkSettings()
{
    auto store = openSettingsStore();
    if (!store)
        return;
    // The fields are read only once the store has opened: a failed open takes nothing.
    SaveLinkSettingsTo(*store, [this] {
        LinkState &s = link.state;
        if (pcPort->currentWidget() == tsCom) {
            s.transport = Transport::Serial;
            s.portName = cmbPort->currentText();
            s.serialMode = cmbBaudrate->currentText();
        } else {
            s.transport = Transport::Tcp;
            s.peerAddress = edIP->text();
            s.peerPort = edPort->text();
        }
        return LinkSettingsRecord{s.transport, s.peerPort, s.peerAddress, s.serialMode, s.portName};
    });
}

void TfrmModule::SaveLanguage()
{
    if (auto store = openSettingsStore())
        SaveLanguageTo(*store, languageFlag);
}

// ---- creation ------------------------------------------------------------------------------

void TfrmModule::FormCreate()
{
    const Transport storedTransport = LoadSettings();
    ListSerialPorts();
    // Until the list is in, there is no entry to select; ensurePortList selects the first
    // then, keeping this text.
    cmbPort->setCurrentIndex(0);
    // A stored port the system does not report still shows.
    cmbPort->setEditText(link.state.portName);
    cmbBaudrate->setEditText(link.state.serialMode);
    edIP->setText(link.state.peerAddress);
    edPort->setText(link.state.peerPort);
    if (storedTransport == Transport::Serial) {
        pcPort->setCurrentWidget(tsCom);
        link.state.transport = Transport::Serial;
    } else {
        pcPort->setCurrentWidget(tsNet);
        link.state.transport = Transport::Tcp;
    }
    pcMain->setCurrentIndex(0);
}

// ---- the shell's commands ------------------------------------------------------------------

void TfrmModule::mnuExitClick()
{
    close();
}

void TfrmModule::mnuAboutClick()
{
    QMessageBox box(QMessageBox::NoIcon, LanguageText(7), LanguageText(1), QMessageBox::Ok, this);
    box.exec();
}

namespace {

// Selecting a position replaces the field's text, also a text typed by hand.
void selectSerialMode(QComboBox *modes, int position)
{
    modes->setCurrentIndex(position);
    modes->setEditText(modes->itemText(position));
}

} // namespace

void TfrmModule::btn19200Click()
{
    selectSerialMode(cmbBaudrate, 9); // "19200,e,8,1"
}

void TfrmModule::btn115200Click()
{
    selectSerialMode(cmbBaudrate, 7); // "115200,n,8,1"
}

void TfrmModule::btn9600Click()
{
    selectSerialMode(cmbBaudrate, 3); // "9600,n,8,1"
}

} // namespace relvix
