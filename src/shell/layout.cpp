// The window as laid out for 96 pixels per inch: one block per parent, controls in creation
// order, each with Left, Top, Width, Height inside its parent's client area. Font sizes are
// character heights in pixels.
#include "frmmodule.h"
#include "groupframe.h"
#include "reader/valuetext.h"

#include <QApplication>
#include <QDir>
#include <QLayout>

namespace relvix {

namespace {

const QString kSansSerif = QStringLiteral("MS Sans Serif");

const QColor kNavy(0, 0, 128);
const QColor kYellow(255, 255, 0);
const QColor kSkyBlue(166, 202, 240);

// A font of the control's own: every attribute is marked as set, so the window font that
// follows the language never reaches it.
QFont ownFont(const QString &family, int pixelSize, bool bold)
{
    QFont font(family);
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    font.setItalic(false);
    font.setUnderline(false);
    font.setStrikeOut(false);
    font.setResolveMask(QFont::AllPropertiesResolved);
    return font;
}

template <class Control> Control *place(Control *control, const char *name, int left, int top, int width, int height)
{
    control->setObjectName(QLatin1String(name));
    control->setGeometry(left, top, width, height);
    return control;
}

void setRole(QWidget *control, QPalette::ColorRole role, const QColor &colour)
{
    QPalette palette = control->palette();
    palette.setColor(role, colour);
    control->setPalette(palette);
}

// Panels and labels fill their background; edit fields colour their text area.
void setPanelBackground(QWidget *control, const QColor &colour)
{
    setRole(control, QPalette::Window, colour);
    control->setAutoFillBackground(true);
}

void setEditBackground(QWidget *control, const QColor &colour)
{
    setRole(control, QPalette::Base, colour);
}

constexpr Qt::Alignment kRight = Qt::AlignRight | Qt::AlignTop;
constexpr Qt::Alignment kRightCentred = Qt::AlignRight | Qt::AlignVCenter;

QLabel *label(QWidget *parent, const char *name, int left, int top, int width, int height, const QString &text,
              Qt::Alignment alignment)
{
    auto *l = place(new QLabel(text, parent), name, left, top, width, height);
    l->setAlignment(alignment);
    l->setTextFormat(Qt::PlainText);
    return l;
}

DisplayPanel *panel(QWidget *parent, const char *name, int left, int top, int width, int height, const QString &text)
{
    auto *p = place(new DisplayPanel(parent), name, left, top, width, height);
    p->setText(text);
    return p;
}

QPushButton *button(QWidget *parent, const char *name, int left, int top, int width, int height, const QString &text)
{
    auto *b = place(new QPushButton(text, parent), name, left, top, width, height);
    b->setAutoDefault(false);
    return b;
}

QLineEdit *edit(QWidget *parent, const char *name, int left, int top, int width, int height, const QString &text)
{
    auto *e = place(new QLineEdit(text, parent), name, left, top, width, height);
    return e;
}

QScrollBar *scrollBar(QWidget *parent, const char *name, int left, int top, int width, int height, int minimum,
                      int maximum, int position)
{
    auto *s = place(new QScrollBar(Qt::Horizontal, parent), name, left, top, width, height);
    s->setRange(minimum, maximum);
    s->setValue(position);
    s->setSingleStep(1);
    s->setPageStep(10);
    s->setFocusPolicy(Qt::StrongFocus);
    return s;
}

QComboBox *comboBox(QWidget *parent, const char *name, int left, int top, int width, int height, bool editable,
                    const QStringList &items, int selected)
{
    auto *c = place(new QComboBox(parent), name, left, top, width, height);
    c->setEditable(editable);
    // A typed text stays a text: Enter never adds it to the list.
    c->setInsertPolicy(QComboBox::NoInsert);
    c->addItems(items);
    c->setCurrentIndex(selected);
    return c;
}

QCheckBox *checkBox(QWidget *parent, const char *name, int left, int top, int width, int height, const QString &text,
                    bool ticked)
{
    auto *c = place(new QCheckBox(text, parent), name, left, top, width, height);
    c->setChecked(ticked);
    return c;
}

QGroupBox *groupBox(QWidget *parent, const char *name, int left, int top, int width, int height, const QString &title)
{
    auto *box = place(new QGroupBox(title, parent), name, left, top, width, height);
    useGroupFrame(box);
    return box;
}

QWidget *page(QTabWidget *pages, const char *name, const QString &caption)
{
    auto *p = new QWidget;
    p->setObjectName(QLatin1String(name));
    pages->addTab(p, caption);
    return p;
}

// Half-width alphanumeric input: port names, serial modes and hexadecimal digits.
void alphanumericInput(QWidget *control)
{
    control->setInputMethodHints(Qt::ImhLatinOnly | Qt::ImhNoPredictiveText);
}

} // namespace

void TfrmModule::buildLayout()
{
    // ---- the window: 680 x 609 client area, fixed size, button face, 13-pixel MS Sans Serif
    setObjectName(QStringLiteral("frmModule"));
    setWindowTitle(QStringLiteral("Relvix"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setRole(this, QPalette::Window, QApplication::palette().color(QPalette::Button));
    mnuMain = menuBar();
    mnuMain->setObjectName(QStringLiteral("mnuMain"));
    // The menu bar keeps the system's font whatever the language font is.
    QFont menuFont = QApplication::font(mnuMain);
    menuFont.setResolveMask(QFont::AllPropertiesResolved);
    mnuMain->setFont(menuFont);
    {
        QFont windowFont(kSansSerif);
        windowFont.setPixelSize(13);
        setFont(windowFont);
    }
    client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    client->setFixedSize(680, 609);
    setCentralWidget(client);
    layout()->setSizeConstraint(QLayout::SetFixedSize);

    const QColor highlight = QApplication::palette().color(QPalette::Highlight);

    // ---- controls on the window
    lblSlave = label(client, "lblSlave", 328, 75, 81, 25, QStringLiteral("ID:"), kRightCentred);
    btnConnect = button(client, "btnConnect", 344, 104, 327, 73, QStringLiteral("Connect device"));
    btnConnect->setFont(ownFont(kSansSerif, 19, true));
    btnConnect->setDefault(true);
    pnVER = panel(client, "pnVER", 8, 40, 329, 33, QString());
    pnVER->setFont(ownFont(QStringLiteral("Arial Narrow"), 21, true));
    setPanelBackground(pnVER, highlight);
    setRole(pnVER, QPalette::WindowText, kYellow);
    pnMsg = panel(client, "pnMsg", 8, 1, 665, 40, QStringLiteral("Start connect device"));
    // No outer bevel: the frame line with a lowered bevel inside it.
    pnMsg->setBevel(DisplayPanel::Bevel::Lowered);
    pnMsg->setFont(ownFont(kSansSerif, 19, true));
    setPanelBackground(pnMsg, kNavy);
    setRole(pnMsg, QPalette::WindowText, kYellow);
    pnSN = panel(client, "pnSN", 344, 40, 329, 33, QString());
    pnSN->setFont(ownFont(QStringLiteral("Arial Narrow"), 21, true));
    setPanelBackground(pnSN, highlight);
    setRole(pnSN, QPalette::WindowText, kYellow);
    pcPort = place(new QTabWidget(client), "pcPort", 8, 80, 329, 97);
    tsCom = page(pcPort, "tsCom", QStringLiteral("COM"));
    tsNet = page(pcPort, "tsNet", QStringLiteral("NET"));
    pcMain = place(new QTabWidget(client), "pcMain", 4, 178, 669, 359);
    pcMain->setDocumentMode(true); // flat tabs
    tsTest = page(pcMain, "tsTest", QStringLiteral("Test"));
    tsCommand = page(pcMain, "tsCommand", QStringLiteral("Command"));
    sbSlave = scrollBar(client, "sbSlave", 480, 77, 193, 24, 0, 9999, 1);
    pnSlave = panel(client, "pnSlave", 416, 76, 57, 25, QStringLiteral("1"));
    pnSlave->setFont(ownFont(kSansSerif, 16, false));
    setPanelBackground(pnSlave, kSkyBlue);
    gbTxRx = groupBox(client, "gbTxRx", 8, 536, 662, 65, QString());

    // ---- on pnMsg
    shComm = place(new LampShape(pnMsg), "shComm", 626, 8, 23, 20);
    shComm->setBrushColor(QColor(255, 0, 0));

    // ---- page tsCom of pcPort
    lblSpeed = label(tsCom, "lblSpeed", 0, 37, 71, 28, QStringLiteral("Speed:"), kRight);
    lblPort = label(tsCom, "lblPort", 0, 9, 71, 28, QStringLiteral("Port:"), kRight);
    cmbPort = comboBox(tsCom, "cmbPort", 80, 5, 121, 24, true, {QStringLiteral("COM1")}, 0);
    alphanumericInput(cmbPort);
    cmbBaudrate = comboBox(tsCom, "cmbBaudrate", 80, 35, 121, 24, true,
                           {QStringLiteral("1200,n,8,1"), QStringLiteral("2400,n,8,1"), QStringLiteral("4800,n,8,1"),
                            QStringLiteral("9600,n,8,1"), QStringLiteral("19200,n,8,1"), QStringLiteral("38400,n,8,1"),
                            QStringLiteral("57600,n,8,1"), QStringLiteral("115200,n,8,1"),
                            QStringLiteral("230400,n,8,1"), QStringLiteral("19200,e,8,1")},
                           7); // design text "115200,n,8,1"
    alphanumericInput(cmbBaudrate);
    btn19200 = button(tsCom, "btn19200", 202, 4, 117, 25, QStringLiteral("19200,e,8,1"));
    btn9600 = button(tsCom, "btn9600", 202, 34, 49, 25, QStringLiteral("9600"));
    btn115200 = button(tsCom, "btn115200", 254, 34, 65, 25, QStringLiteral("115200"));

    // ---- page tsNet of pcPort
    lblNetPort = label(tsNet, "lblNetPort", 0, 37, 73, 28, QStringLiteral("Port:"), kRight);
    lblIP = label(tsNet, "lblIP", 0, 9, 73, 28, QStringLiteral("IP:"), kRight);
    edPort = edit(tsNet, "edPort", 80, 35, 81, 24, QStringLiteral("4001"));
    edIP = edit(tsNet, "edIP", 80, 5, 225, 24, QStringLiteral("192.168.1.101"));
    edIP->setMaxLength(15); // dotted IPv4: 4 x 3 digits + 3 dots

    // ---- page tsTest of pcMain
    moLog = place(new QPlainTextEdit(tsTest), "moLog", 800, 0, 657, 185); // right of the visible area
    moLog->setFont(ownFont(kSansSerif, 19, false));
    // Nobody can see it, so the keyboard never stops in it; and should it get the focus all
    // the same, Tab moves on instead of typing a tab character into it.
    moLog->setFocusPolicy(Qt::NoFocus);
    moLog->setTabChangesFocus(true);
    gbID = groupBox(tsTest, "gbID", 0, 0, 662, 150, QStringLiteral("ID"));
    gbUID = groupBox(tsTest, "gbUID", 0, 155, 662, 86, QStringLiteral("CARD/KEY"));
    GroupBox1 = groupBox(tsTest, "GroupBox1", 0, 244, 662, 81, QStringLiteral("DI/DO"));

    // ---- group box gbID: the reader's address, reboot and factory settings
    lblID = label(gbID, "lblID", 8, 27, 49, 46, QStringLiteral("ID:"), kRightCentred);
    lblID->setFont(ownFont(kSansSerif, 16, true));
    pnID = panel(gbID, "pnID", 64, 28, 73, 45, QStringLiteral("1"));
    pnID->setFont(ownFont(kSansSerif, 32, true));
    setPanelBackground(pnID, kSkyBlue);
    sbID = scrollBar(gbID, "sbID", 144, 29, 177, 28, 1, 254, 1);
    pnSetIDRange = panel(gbID, "pnSetIDRange", 144, 58, 177, 21, QStringLiteral("Range : 1 ~ 254"));
    pnSetIDRange->setFont(ownFont(kSansSerif, 11, false));
    setPanelBackground(pnSetIDRange, kSkyBlue);
    btnSetID = button(gbID, "btnSetID", 336, 24, 321, 57, QStringLiteral("Set ID"));
    btnSetID->setFont(ownFont(kSansSerif, 16, true));
    btnReboot = button(gbID, "btnReboot", 8, 88, 313, 49, QStringLiteral("Set reboot"));
    btnReboot->setFont(ownFont(kSansSerif, 16, true));
    btnInitial = button(gbID, "btnInitial", 336, 88, 321, 49, QStringLiteral("Set initial"));
    btnInitial->setFont(ownFont(kSansSerif, 16, true));

    // ---- group box gbUID: card data
    const QString hyphens(32, QLatin1Char('-'));
    Label1 = label(gbUID, "Label1", 8, 19, 49, 30, QStringLiteral("UID:"), kRightCentred);
    Label1->setFont(ownFont(kSansSerif, 16, true));
    Label2 = label(gbUID, "Label2", 8, 56, 49, 25, QStringLiteral("KEY:"), kRightCentred);
    Label2->setFont(ownFont(kSansSerif, 16, true));
    pnUID = panel(gbUID, "pnUID", 64, 18, 321, 33, hyphens);
    pnUID->setFont(ownFont(kSansSerif, 13, true));
    setPanelBackground(pnUID, kSkyBlue);
    btnUID = button(gbUID, "btnUID", 392, 42, 145, 33, QStringLiteral("Read DATA"));
    btnUID->setFont(ownFont(kSansSerif, 16, true));
    btnClearUID = button(gbUID, "btnClearUID", 544, 42, 113, 33, QStringLiteral("Clear DATA"));
    btnClearUID->setFont(ownFont(kSansSerif, 16, true));
    cmbFormat = comboBox(gbUID, "cmbFormat", 544, 16, 113, 24, false, UidFormatNames(), 0);
    chkLoop = checkBox(gbUID, "chkLoop", 392, 16, 81, 17, QStringLiteral("Loop"), true);
    chkLSB = checkBox(gbUID, "chkLSB", 480, 16, 57, 17, QStringLiteral("LSB"), false);
    pnKey = panel(gbUID, "pnKey", 64, 50, 265, 33, hyphens);
    pnKey->setFont(ownFont(kSansSerif, 13, false));
    setPanelBackground(pnKey, kSkyBlue);
    chkKeyHex = checkBox(gbUID, "chkKeyHex", 332, 60, 57, 17, QStringLiteral("HEX"), false);

    // ---- group box GroupBox1: digital inputs and outputs
    lblReadDi = label(GroupBox1, "lblReadDi", 8, 27, 49, 38, QStringLiteral("DI:"), kRightCentred);
    lblReadDi->setFont(ownFont(kSansSerif, 16, true));
    lblReadDo = label(GroupBox1, "lblReadDo", 128, 27, 49, 38, QStringLiteral("DO:"), kRightCentred);
    lblReadDo->setFont(ownFont(kSansSerif, 16, true));
    lblSetDo = label(GroupBox1, "lblSetDo", 400, 27, 49, 38, QStringLiteral("DO:"), kRightCentred);
    lblSetDo->setFont(ownFont(kSansSerif, 16, true));
    pnDiVal = panel(GroupBox1, "pnDiVal", 64, 28, 65, 37, QStringLiteral("0000"));
    pnDiVal->setFont(ownFont(kSansSerif, 16, true));
    setPanelBackground(pnDiVal, kSkyBlue);
    btnReadDiDo = button(GroupBox1, "btnReadDiDo", 256, 24, 129, 49, QStringLiteral("Read DI/DO"));
    btnReadDiDo->setFont(ownFont(kSansSerif, 16, true));
    pnDoVal = panel(GroupBox1, "pnDoVal", 184, 28, 65, 37, QStringLiteral("0000"));
    pnDoVal->setFont(ownFont(kSansSerif, 16, true));
    setPanelBackground(pnDoVal, kSkyBlue);
    edSetDo = edit(GroupBox1, "edSetDo", 456, 32, 57, 28, QStringLiteral("FFFF"));
    edSetDo->setMaxLength(4); // one 16-bit register in hexadecimal
    edSetDo->setFont(ownFont(kSansSerif, 16, true));
    alphanumericInput(edSetDo);
    btnSetDo = button(GroupBox1, "btnSetDo", 520, 24, 137, 49, QStringLiteral("Set DO"));
    btnSetDo->setFont(ownFont(kSansSerif, 16, true));

    // ---- page tsCommand of pcMain
    gbCommand = groupBox(tsCommand, "gbCommand", 0, 0, 662, 233, QStringLiteral("Command test"));

    // ---- group box gbCommand: raw RTU command
    lblCommandSend = label(gbCommand, "lblCommandSend", 24, 26, 121, 25, QStringLiteral("Send Command :"), kRight);
    lblCommandTran = label(gbCommand, "lblCommandTran", 8, 61, 137, 22, QStringLiteral("Transfer Data :"), kRight);
    lblCommandRecv = label(gbCommand, "lblCommandRecv", 8, 101, 137, 22, QStringLiteral("Receive Data :"), kRight);
    edCommandSend = edit(gbCommand, "edCommandSend", 152, 24, 49, 24, QStringLiteral("03"));
    edCommandSend->setMaxLength(4);
    alphanumericInput(edCommandSend);
    edCommandSendData = edit(gbCommand, "edCommandSendData", 208, 24, 449, 24, QStringLiteral("01000001"));
    edCommandSendData->setMaxLength(512);
    alphanumericInput(edCommandSendData);
    btnSendCommandRTU = button(gbCommand, "btnSendCommandRTU", 8, 136, 649, 89, QStringLiteral("Send Command RTU"));
    btnSendCommandRTU->setFont(ownFont(kSansSerif, 16, true));
    edCommandTran = edit(gbCommand, "edCommandTran", 152, 60, 505, 24, QString());
    edCommandTran->setReadOnly(true);
    setEditBackground(edCommandTran, kSkyBlue);
    edCommandRecv = edit(gbCommand, "edCommandRecv", 152, 100, 505, 24, QString());
    edCommandRecv->setReadOnly(true);
    setEditBackground(edCommandRecv, kSkyBlue);

    // ---- group box gbTxRx: the last frames
    Label11 = label(gbTxRx, "Label11", 8, 13, 41, 22, QStringLiteral("TX :"), kRight);
    Label12 = label(gbTxRx, "Label12", 8, 37, 41, 22, QStringLiteral("RX :"), kRight);
    edTX = edit(gbTxRx, "edTX", 56, 12, 593, 24, QString());
    edTX->setReadOnly(true);
    setEditBackground(edTX, kSkyBlue);
    edRX = edit(gbTxRx, "edRX", 56, 36, 593, 24, QString());
    edRX->setReadOnly(true);
    setEditBackground(edRX, kSkyBlue);

    // ---- components without a place on screen
    tmrBusy = new QTimer(this);
    tmrBusy->setObjectName(QStringLiteral("tmrBusy"));
    tmrBusy->setInterval(200); // lamp blink period while busy
#ifdef _WIN32
    const QString startFolder = QStringLiteral("C:\\");
#else
    const QString startFolder = QDir::rootPath();
#endif
    dlgLoad = new FileDialogComponent(
        "dlgLoad", {QFileDialog::AcceptOpen, QStringLiteral("Firmware files (*.lab *.bin)"), {}, {}}, this);
    dlgOFile = new FileDialogComponent(
        "dlgOFile", {QFileDialog::AcceptOpen, QStringLiteral("txt files(*.txt)"), startFolder, {}}, this);
    dlgSFile = new FileDialogComponent(
        "dlgSFile",
        {QFileDialog::AcceptSave, QStringLiteral("txt files(*.txt)"), startFolder, QStringLiteral("KavrelCardData")},
        this);

    // ---- main menu: no shortcuts; "&" marks the mnemonic letter
    mnuFile = mnuMain->addMenu(QStringLiteral("File"));
    mnuFile->setObjectName(QStringLiteral("mnuFile"));
    mnuFirmwareFile = mnuFile->addAction(QStringLiteral("&Firmware file"));
    mnuFirmwareFile->setObjectName(QStringLiteral("mnuFirmwareFile"));
    mnuFirmwareFile->setVisible(false);
    mnuLine1 = mnuFile->addSeparator();
    mnuLine1->setObjectName(QStringLiteral("mnuLine1"));
    mnuLine1->setVisible(false);
    mnuExit = mnuFile->addAction(QStringLiteral("Exit"));
    mnuExit->setObjectName(QStringLiteral("mnuExit"));
    mnuLanguage = mnuMain->addMenu(QStringLiteral("Language"));
    mnuLanguage->setObjectName(QStringLiteral("mnuLanguage"));
    mnuEnglish = mnuLanguage->addAction(QStringLiteral("English"));
    mnuEnglish->setObjectName(QStringLiteral("mnuEnglish"));
    mnuEnglish->setCheckable(true);
    mnuSimplified = mnuLanguage->addAction(QStringLiteral("Simplified Chinese"));
    mnuSimplified->setObjectName(QStringLiteral("mnuSimplified"));
    mnuSimplified->setCheckable(true);
    mnuTraditional = mnuLanguage->addAction(QStringLiteral("Traditional Chinese"));
    mnuTraditional->setObjectName(QStringLiteral("mnuTraditional"));
    mnuTraditional->setCheckable(true);
    mnuAbout = mnuMain->addAction(QStringLiteral("&About"));
    mnuAbout->setObjectName(QStringLiteral("mnuAbout"));
    mnuAbout->setVisible(false);
    // The window's tools, after the menus above: built when first chosen.
    mnuTools = mnuMain->addMenu(QStringLiteral("&Tools"));
    mnuTools->setObjectName(QStringLiteral("mnuTools"));
    mnuTrafficMonitor = mnuTools->addAction(QStringLiteral("&Traffic monitor"));
    mnuTrafficMonitor->setObjectName(QStringLiteral("mnuTrafficMonitor"));
    mnuFindReaders = mnuTools->addAction(QStringLiteral("&Find readers"));
    mnuFindReaders->setObjectName(QStringLiteral("mnuFindReaders"));

    setCreationTabOrder();
}

void TfrmModule::setCreationTabOrder()
{
    // Within each parent the creation order, and a container's controls where the
    // container stands in its parent's order.
    const QList<QWidget *> order{btnConnect, pcPort,
                                 /* tsCom */ cmbPort, cmbBaudrate, btn19200, btn9600, btn115200,
                                 /* tsNet */ edPort, edIP, pcMain,
                                 /* tsTest: moLog takes no focus */
                                 /* gbID */ sbID, btnSetID, btnReboot, btnInitial,
                                 /* gbUID */ btnUID, btnClearUID, cmbFormat, chkLoop, chkLSB, chkKeyHex,
                                 /* GroupBox1 */ btnReadDiDo, edSetDo, btnSetDo,
                                 /* gbCommand */ edCommandSend, edCommandSendData, btnSendCommandRTU, edCommandTran,
                                 edCommandRecv, sbSlave,
                                 /* gbTxRx */ edTX, edRX};
    for (qsizetype i = 1; i < order.size(); ++i)
        setTabOrder(order[i - 1], order[i]);
}

} // namespace relvix
