// Every control of the window against the layout tables: name, kind, parent, position and
// size, design text, limits and fonts, then the tab order and the components off screen.
#include "shellfixture.h"

#include <QAbstractButton>
#include <QTest>

using namespace relvix;
using namespace relvix::shelltest;

namespace {

struct Row {
    const char *name;
    const char *kind;   // class the control is, or inherits
    const char *parent; // "client" for the window itself
    int left, top, width, height;
    const char *text; // design text; nullptr where start-up fills it in
};

// One block per parent, in creation order.
const Row kLayout[] = {
    // the window
    {"lblSlave", "QLabel", "client", 328, 75, 81, 25, "ID:"},
    {"btnConnect", "QPushButton", "client", 344, 104, 327, 73, "Connect device"},
    {"pnVER", "relvix::DisplayPanel", "client", 8, 40, 329, 33, ""},
    {"pnMsg", "relvix::DisplayPanel", "client", 8, 1, 665, 40, "Start connect device"},
    {"pnSN", "relvix::DisplayPanel", "client", 344, 40, 329, 33, ""},
    {"pcPort", "QTabWidget", "client", 8, 80, 329, 97, nullptr},
    {"pcMain", "QTabWidget", "client", 4, 178, 669, 359, nullptr},
    {"sbSlave", "QScrollBar", "client", 480, 77, 193, 24, nullptr},
    {"pnSlave", "relvix::DisplayPanel", "client", 416, 76, 57, 25, "1"},
    {"gbTxRx", "QGroupBox", "client", 8, 536, 662, 65, ""},
    // pnMsg
    {"shComm", "relvix::LampShape", "pnMsg", 626, 8, 23, 20, nullptr},
    // tsCom
    {"lblSpeed", "QLabel", "tsCom", 0, 37, 71, 28, "Speed:"},
    {"lblPort", "QLabel", "tsCom", 0, 9, 71, 28, "Port:"},
    {"cmbPort", "QComboBox", "tsCom", 80, 5, 121, 24, nullptr},
    {"cmbBaudrate", "QComboBox", "tsCom", 80, 35, 121, 24, nullptr},
    {"btn19200", "QPushButton", "tsCom", 202, 4, 117, 25, "19200,e,8,1"},
    {"btn9600", "QPushButton", "tsCom", 202, 34, 49, 25, "9600"},
    {"btn115200", "QPushButton", "tsCom", 254, 34, 65, 25, "115200"},
    // tsNet
    {"lblNetPort", "QLabel", "tsNet", 0, 37, 73, 28, "Port:"},
    {"lblIP", "QLabel", "tsNet", 0, 9, 73, 28, "IP:"},
    {"edPort", "QLineEdit", "tsNet", 80, 35, 81, 24, nullptr},
    {"edIP", "QLineEdit", "tsNet", 80, 5, 225, 24, nullptr},
    // tsTest
    {"moLog", "QPlainTextEdit", "tsTest", 800, 0, 657, 185, ""},
    {"gbID", "QGroupBox", "tsTest", 0, 0, 662, 150, "ID"},
    {"gbUID", "QGroupBox", "tsTest", 0, 155, 662, 86, "CARD/KEY"},
    {"GroupBox1", "QGroupBox", "tsTest", 0, 244, 662, 81, "DI/DO"},
    // gbID
    {"lblID", "QLabel", "gbID", 8, 27, 49, 46, "ID:"},
    {"pnID", "relvix::DisplayPanel", "gbID", 64, 28, 73, 45, "1"},
    {"sbID", "QScrollBar", "gbID", 144, 29, 177, 28, nullptr},
    {"pnSetIDRange", "relvix::DisplayPanel", "gbID", 144, 58, 177, 21, "Range : 1 ~ 254"},
    {"btnSetID", "QPushButton", "gbID", 336, 24, 321, 57, "Set ID"},
    {"btnReboot", "QPushButton", "gbID", 8, 88, 313, 49, "Set reboot"},
    {"btnInitial", "QPushButton", "gbID", 336, 88, 321, 49, "Set initial"},
    // gbUID
    {"Label1", "QLabel", "gbUID", 8, 19, 49, 30, "UID:"},
    {"Label2", "QLabel", "gbUID", 8, 56, 49, 25, "KEY:"},
    {"pnUID", "relvix::DisplayPanel", "gbUID", 64, 18, 321, 33, "--------------------------------"},
    {"btnUID", "QPushButton", "gbUID", 392, 42, 145, 33, "Read DATA"},
    {"btnClearUID", "QPushButton", "gbUID", 544, 42, 113, 33, "Clear DATA"},
    {"cmbFormat", "QComboBox", "gbUID", 544, 16, 113, 24, "8H10D"},
    {"chkLoop", "QCheckBox", "gbUID", 392, 16, 81, 17, "Loop"},
    {"chkLSB", "QCheckBox", "gbUID", 480, 16, 57, 17, "LSB"},
    {"pnKey", "relvix::DisplayPanel", "gbUID", 64, 50, 265, 33, "--------------------------------"},
    {"chkKeyHex", "QCheckBox", "gbUID", 332, 60, 57, 17, "HEX"},
    // GroupBox1
    {"lblReadDi", "QLabel", "GroupBox1", 8, 27, 49, 38, "DI:"},
    {"lblReadDo", "QLabel", "GroupBox1", 128, 27, 49, 38, "DO:"},
    {"lblSetDo", "QLabel", "GroupBox1", 400, 27, 49, 38, "DO:"},
    {"pnDiVal", "relvix::DisplayPanel", "GroupBox1", 64, 28, 65, 37, "0000"},
    {"btnReadDiDo", "QPushButton", "GroupBox1", 256, 24, 129, 49, "Read DI/DO"},
    {"pnDoVal", "relvix::DisplayPanel", "GroupBox1", 184, 28, 65, 37, "0000"},
    {"edSetDo", "QLineEdit", "GroupBox1", 456, 32, 57, 28, "FFFF"},
    {"btnSetDo", "QPushButton", "GroupBox1", 520, 24, 137, 49, "Set DO"},
    // tsCommand
    {"gbCommand", "QGroupBox", "tsCommand", 0, 0, 662, 233, "Command test"},
    // gbCommand
    {"lblCommandSend", "QLabel", "gbCommand", 24, 26, 121, 25, "Send Command :"},
    {"lblCommandTran", "QLabel", "gbCommand", 8, 61, 137, 22, "Transfer Data :"},
    {"lblCommandRecv", "QLabel", "gbCommand", 8, 101, 137, 22, "Receive Data :"},
    {"edCommandSend", "QLineEdit", "gbCommand", 152, 24, 49, 24, "03"},
    {"edCommandSendData", "QLineEdit", "gbCommand", 208, 24, 449, 24, "01000001"},
    {"btnSendCommandRTU", "QPushButton", "gbCommand", 8, 136, 649, 89, "Send Command RTU"},
    {"edCommandTran", "QLineEdit", "gbCommand", 152, 60, 505, 24, ""},
    {"edCommandRecv", "QLineEdit", "gbCommand", 152, 100, 505, 24, ""},
    // gbTxRx
    {"Label11", "QLabel", "gbTxRx", 8, 13, 41, 22, "TX :"},
    {"Label12", "QLabel", "gbTxRx", 8, 37, 41, 22, "RX :"},
    {"edTX", "QLineEdit", "gbTxRx", 56, 12, 593, 24, ""},
    {"edRX", "QLineEdit", "gbTxRx", 56, 36, 593, 24, ""},
};

struct FontRow {
    const char *name;
    const char *family;
    int pixels;
    bool bold;
};

const FontRow kOwnFonts[] = {
    {"btnConnect", "MS Sans Serif", 19, true},
    {"pnVER", "Arial Narrow", 21, true},
    {"pnMsg", "MS Sans Serif", 19, true},
    {"pnSN", "Arial Narrow", 21, true},
    {"pnSlave", "MS Sans Serif", 16, false},
    {"moLog", "MS Sans Serif", 19, false},
    {"lblID", "MS Sans Serif", 16, true},
    {"pnID", "MS Sans Serif", 32, true},
    {"pnSetIDRange", "MS Sans Serif", 11, false},
    {"btnSetID", "MS Sans Serif", 16, true},
    {"btnReboot", "MS Sans Serif", 16, true},
    {"btnInitial", "MS Sans Serif", 16, true},
    {"Label1", "MS Sans Serif", 16, true},
    {"Label2", "MS Sans Serif", 16, true},
    {"pnUID", "MS Sans Serif", 13, true},
    {"btnUID", "MS Sans Serif", 16, true},
    {"btnClearUID", "MS Sans Serif", 16, true},
    {"pnKey", "MS Sans Serif", 13, false},
    {"lblReadDi", "MS Sans Serif", 16, true},
    {"lblReadDo", "MS Sans Serif", 16, true},
    {"lblSetDo", "MS Sans Serif", 16, true},
    {"pnDiVal", "MS Sans Serif", 16, true},
    {"btnReadDiDo", "MS Sans Serif", 16, true},
    {"pnDoVal", "MS Sans Serif", 16, true},
    {"edSetDo", "MS Sans Serif", 16, true},
    {"btnSetDo", "MS Sans Serif", 16, true},
    {"btnSendCommandRTU", "MS Sans Serif", 16, true},
};

QString designText(QWidget *control)
{
    if (auto *l = qobject_cast<QLabel *>(control))
        return l->text();
    if (auto *b = qobject_cast<QAbstractButton *>(control))
        return b->text();
    if (auto *g = qobject_cast<QGroupBox *>(control))
        return g->title();
    if (auto *e = qobject_cast<QLineEdit *>(control))
        return e->text();
    if (auto *c = qobject_cast<QComboBox *>(control))
        return c->currentText();
    if (auto *m = qobject_cast<QPlainTextEdit *>(control))
        return m->toPlainText();
    return {};
}

QStringList items(const QComboBox *combo)
{
    QStringList list;
    for (int i = 0; i < combo->count(); ++i)
        list << combo->itemText(i);
    return list;
}

class Layout : public ShellWindowTest {
protected:
    void SetUp() override { makeWindow(); }
    template <class T = QWidget> T *control(const char *name) const
    {
        return window->findChild<T *>(QLatin1String(name));
    }
};

} // namespace

TEST_F(Layout, EveryControlAsLaidOut)
{
    // Not shown yet: the captions are still the design texts.
    int count = 0;
    for (const Row &row : kLayout) {
        SCOPED_TRACE(row.name);
        QWidget *c = control(row.name);
        ASSERT_NE(c, nullptr);
        ++count;
        EXPECT_TRUE(c->inherits(row.kind)) << c->metaObject()->className();
        ASSERT_NE(c->parentWidget(), nullptr);
        EXPECT_EQ(c->parentWidget()->objectName(), QLatin1String(row.parent));
        EXPECT_EQ(c->geometry(), QRect(row.left, row.top, row.width, row.height));
        if (row.text) {
            EXPECT_EQ(designText(c), QString::fromUtf8(row.text));
        }
        EXPECT_TRUE(c->isEnabled());
        EXPECT_FALSE(c->isHidden());
    }
    EXPECT_EQ(count, 64);
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Relvix"));
    EXPECT_EQ(window->client->parentWidget(), window.get());
}

TEST_F(Layout, MembersAreTheNamedControls)
{
    EXPECT_EQ(control("btnConnect"), window->btnConnect);
    EXPECT_EQ(control("shComm"), window->shComm);
    EXPECT_EQ(control("edRX"), window->edRX);
    EXPECT_EQ(control("Label12"), window->Label12);
    EXPECT_EQ(window->objectName(), QStringLiteral("frmModule"));
}

TEST_F(Layout, PagesOfThePageControls)
{
    ASSERT_EQ(window->pcPort->count(), 2);
    EXPECT_EQ(window->pcPort->widget(0), window->tsCom);
    EXPECT_EQ(window->pcPort->widget(1), window->tsNet);
    EXPECT_EQ(window->tsCom->objectName(), QStringLiteral("tsCom"));
    EXPECT_EQ(window->pcPort->tabText(0), QStringLiteral("COM"));
    EXPECT_EQ(window->pcPort->tabText(1), QStringLiteral("NET"));
    ASSERT_EQ(window->pcMain->count(), 2);
    EXPECT_EQ(window->pcMain->widget(0), window->tsTest);
    EXPECT_EQ(window->pcMain->widget(1), window->tsCommand);
    EXPECT_EQ(window->pcMain->tabText(0), QStringLiteral("Test"));
    EXPECT_EQ(window->pcMain->tabText(1), QStringLiteral("Command"));
    EXPECT_EQ(window->tsCommand->objectName(), QStringLiteral("tsCommand"));
}

TEST_F(Layout, LimitsAndChoices)
{
    EXPECT_EQ(window->edIP->maxLength(), 15);
    EXPECT_EQ(window->edSetDo->maxLength(), 4);
    EXPECT_EQ(window->edCommandSend->maxLength(), 4);
    EXPECT_EQ(window->edCommandSendData->maxLength(), 512);
    EXPECT_EQ(window->edPort->maxLength(), QLineEdit().maxLength()) << "no limit of its own";

    EXPECT_EQ(window->sbSlave->minimum(), 0);
    EXPECT_EQ(window->sbSlave->maximum(), 9999);
    EXPECT_EQ(window->sbSlave->value(), 1);
    EXPECT_EQ(window->sbSlave->singleStep(), 1);
    EXPECT_EQ(window->sbSlave->pageStep(), 10);
    EXPECT_EQ(window->sbSlave->orientation(), Qt::Horizontal);
    EXPECT_EQ(window->sbID->minimum(), 1);
    EXPECT_EQ(window->sbID->maximum(), 254);
    EXPECT_EQ(window->sbID->value(), 1);
    EXPECT_EQ(window->sbID->singleStep(), 1);
    EXPECT_EQ(window->sbID->pageStep(), 10);
    EXPECT_EQ(window->sbID->orientation(), Qt::Horizontal);

    EXPECT_TRUE(window->cmbPort->isEditable());
    EXPECT_TRUE(window->cmbBaudrate->isEditable());
    EXPECT_FALSE(window->cmbFormat->isEditable()) << "choice only";
    EXPECT_EQ(items(window->cmbBaudrate),
              (QStringList{"1200,n,8,1", "2400,n,8,1", "4800,n,8,1", "9600,n,8,1", "19200,n,8,1", "38400,n,8,1",
                           "57600,n,8,1", "115200,n,8,1", "230400,n,8,1", "19200,e,8,1"}));
    EXPECT_EQ(items(window->cmbFormat), (QStringList{"8H10D", "6H8D", "8H", "6H", "5D,5D", "3D,5D", "16H", "32H"}));
    EXPECT_EQ(window->cmbFormat->currentIndex(), 0);
    EXPECT_EQ(window->cmbPort->currentIndex(), 0);

    EXPECT_TRUE(window->chkLoop->isChecked());
    EXPECT_FALSE(window->chkLSB->isChecked());
    EXPECT_FALSE(window->chkKeyHex->isChecked());

    for (QLineEdit *e : {window->edTX, window->edRX, window->edCommandTran, window->edCommandRecv}) {
        EXPECT_TRUE(e->isReadOnly()) << e->objectName().toStdString();
        EXPECT_EQ(e->palette().color(QPalette::Base), QColor(166, 202, 240));
    }
    for (QLineEdit *e :
         {window->edIP, window->edPort, window->edSetDo, window->edCommandSend, window->edCommandSendData})
        EXPECT_FALSE(e->isReadOnly()) << e->objectName().toStdString();
    EXPECT_EQ(window->btnUIDTag, 0);
    EXPECT_EQ(window->tmrBusyTag, 0);
}

TEST_F(Layout, FontsOfTheirOwn)
{
    for (const FontRow &row : kOwnFonts) {
        SCOPED_TRACE(row.name);
        QWidget *c = control(row.name);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->font().family(), QString::fromUtf8(row.family));
        EXPECT_EQ(c->font().pixelSize(), row.pixels);
        EXPECT_EQ(c->font().bold(), row.bold);
    }
    // The window's own design font; the rest inherit it until the first caption pass.
    EXPECT_EQ(window->font().family(), QStringLiteral("MS Sans Serif"));
    EXPECT_EQ(window->font().pixelSize(), 13);
    EXPECT_EQ(window->lblSpeed->font().pixelSize(), 13);
}

TEST_F(Layout, ColoursAlignmentAndPanels)
{
    const QColor navy(0, 0, 128), yellow(255, 255, 0), skyBlue(166, 202, 240);
    EXPECT_EQ(window->pnMsg->palette().color(QPalette::Window), navy);
    EXPECT_EQ(window->pnMsg->palette().color(QPalette::WindowText), yellow);
    const QColor highlight = QApplication::palette().color(QPalette::Highlight);
    for (DisplayPanel *p : {window->pnVER, window->pnSN}) {
        EXPECT_EQ(p->palette().color(QPalette::Window), highlight);
        EXPECT_EQ(p->palette().color(QPalette::WindowText), yellow);
    }
    for (DisplayPanel *p : {window->pnSlave, window->pnID, window->pnSetIDRange, window->pnUID, window->pnKey,
                            window->pnDiVal, window->pnDoVal})
        EXPECT_EQ(p->palette().color(QPalette::Window), skyBlue) << p->objectName().toStdString();
    for (DisplayPanel *p : window->findChildren<DisplayPanel *>()) {
        EXPECT_EQ(p->alignment(), Qt::AlignCenter) << p->objectName().toStdString();
        EXPECT_EQ(p->focusPolicy(), Qt::NoFocus);
        EXPECT_EQ(p->bevel(), p == window->pnMsg ? DisplayPanel::Bevel::Lowered : DisplayPanel::Bevel::Raised);
    }
    EXPECT_EQ(window->shComm->parentWidget(), window->pnMsg);
    EXPECT_EQ(window->shComm->brushColor(), QColor(255, 0, 0));

    for (QLabel *l : {window->lblSlave, window->lblID, window->Label1, window->Label2, window->lblReadDi,
                      window->lblReadDo, window->lblSetDo})
        EXPECT_EQ(l->alignment(), Qt::AlignRight | Qt::AlignVCenter) << l->objectName().toStdString();
    for (QLabel *l : {window->lblSpeed, window->lblPort, window->lblNetPort, window->lblIP, window->lblCommandSend,
                      window->lblCommandTran, window->lblCommandRecv, window->Label11, window->Label12})
        EXPECT_EQ(l->alignment(), Qt::AlignRight | Qt::AlignTop) << l->objectName().toStdString();
}

TEST_F(Layout, LogFieldLiesOutsideTheVisiblePage)
{
    window->show();
    QCoreApplication::processEvents();
    EXPECT_FALSE(window->tsTest->rect().intersects(window->moLog->geometry()));
    EXPECT_TRUE(window->moLog->toPlainText().isEmpty());
}

TEST_F(Layout, EveryControlLiesInsideTheClientArea)
{
    window->show();
    QCoreApplication::processEvents();
    const QRect area = window->client->rect();
    for (const Row &row : kLayout) {
        QWidget *c = control(row.name);
        if (c == window->moLog)
            continue;
        const QRect onClient(c->mapTo(window->client, QPoint(0, 0)), c->size());
        EXPECT_TRUE(area.contains(onClient)) << row.name;
    }
}

TEST_F(Layout, TabOrderIsTheCreationOrder)
{
    const QList<QWidget *> expected{window->btnConnect,
                                    window->pcPort,
                                    window->cmbPort,
                                    window->cmbBaudrate,
                                    window->btn19200,
                                    window->btn9600,
                                    window->btn115200,
                                    window->edPort,
                                    window->edIP,
                                    window->pcMain,
                                    window->sbID,
                                    window->btnSetID,
                                    window->btnReboot,
                                    window->btnInitial,
                                    window->btnUID,
                                    window->btnClearUID,
                                    window->cmbFormat,
                                    window->chkLoop,
                                    window->chkLSB,
                                    window->chkKeyHex,
                                    window->btnReadDiDo,
                                    window->edSetDo,
                                    window->btnSetDo,
                                    window->edCommandSend,
                                    window->edCommandSendData,
                                    window->btnSendCommandRTU,
                                    window->edCommandTran,
                                    window->edCommandRecv,
                                    window->sbSlave,
                                    window->edTX,
                                    window->edRX};
    // Walk the focus chain once round, naming each widget by the control it belongs to.
    QList<QWidget *> seen;
    QWidget *w = window->btnConnect;
    for (int steps = 0; steps < 2000; ++steps) {
        QWidget *owner = nullptr;
        for (QWidget *up = w; up && !owner; up = up->parentWidget()) {
            if (expected.contains(up))
                owner = up;
        }
        if (owner && (seen.isEmpty() || seen.last() != owner) && !seen.contains(owner))
            seen << owner;
        w = w->nextInFocusChain();
        if (w == window->btnConnect)
            break;
    }
    EXPECT_EQ(seen, expected);
    for (QWidget *c : expected)
        EXPECT_NE(c->focusPolicy() & Qt::TabFocus, 0) << c->objectName().toStdString();
}

namespace {

// The controls of a parent in creation order, each followed by its own (a page control by its
// pages'), as the layout tables give them.
void creationOrder(TfrmModule &w, const QString &parent, QList<QWidget *> &out)
{
    for (const Row &row : kLayout) {
        if (QLatin1String(row.parent) != parent)
            continue;
        QWidget *c = w.findChild<QWidget *>(QLatin1String(row.name));
        out << c;
        if (auto *pages = qobject_cast<QTabWidget *>(c)) {
            for (int i = 0; i < pages->count(); ++i)
                creationOrder(w, pages->widget(i)->objectName(), out);
        } else {
            creationOrder(w, c->objectName(), out);
        }
    }
}

} // namespace

TEST_F(Layout, TabFromConnectVisitsWhatAPersonSeesInOrderAndWraps)
{
    window->show();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    for (auto pages :
         {std::pair{&TfrmModule::tsCom, &TfrmModule::tsTest}, std::pair{&TfrmModule::tsNet, &TfrmModule::tsCommand}}) {
        window->pcPort->setCurrentWidget(window.get()->*pages.first);
        window->pcMain->setCurrentWidget(window.get()->*pages.second);
        QCoreApplication::processEvents();
        SCOPED_TRACE(window->pcMain->currentWidget()->objectName().toStdString());
        // Every control that takes Tab and that a person can see and use, in creation order.
        QList<QWidget *> all;
        creationOrder(*window, QStringLiteral("client"), all);
        QStringList expected;
        for (QWidget *c : all) {
            if ((c->focusPolicy() & Qt::TabFocus) && c->isVisible() && c->isEnabled() && !c->visibleRegion().isEmpty())
                expected << c->objectName();
        }
        ASSERT_EQ(expected.value(0), QStringLiteral("btnConnect"));

        window->btnConnect->setFocus(Qt::TabFocusReason);
        QStringList visited;
        for (qsizetype i = 0; i <= expected.size(); ++i) {
            QWidget *focus = QApplication::focusWidget();
            ASSERT_NE(focus, nullptr);
            QWidget *owner = focus; // the control whose part has the focus (a list's edit field)
            while (owner && !all.contains(owner))
                owner = owner->parentWidget();
            visited << (owner ? owner : focus)->objectName();
            QTest::keyClick(focus, Qt::Key_Tab);
        }
        EXPECT_EQ(visited.mid(0, expected.size()).join(u' ').toStdString(), expected.join(u' ').toStdString());
        EXPECT_EQ(visited.last().toStdString(), "btnConnect") << "Tab wraps round to Connect";
        EXPECT_TRUE(window->moLog->toPlainText().isEmpty());
    }
    // Given the focus by the program, the invisible field still passes Tab on.
    window->moLog->setFocus();
    QTest::keyClick(window->moLog, Qt::Key_Tab);
    EXPECT_NE(QApplication::focusWidget(), window->moLog);
    EXPECT_TRUE(window->moLog->toPlainText().isEmpty());
}

TEST_F(Layout, ComponentsWithoutAPlaceOnScreen)
{
    EXPECT_EQ(window->tmrBusy->objectName(), QStringLiteral("tmrBusy"));
    EXPECT_EQ(window->tmrBusy->interval(), 200);
    EXPECT_FALSE(window->tmrBusy->isActive());
    EXPECT_FALSE(window->tmrBusy->isSingleShot());

    window->show();
    EXPECT_TRUE(window->findChildren<QFileDialog *>().isEmpty()) << "none is made before it is needed";
    EXPECT_EQ(window->dlgLoad->objectName(), QStringLiteral("dlgLoad"));
    EXPECT_EQ(window->dlgLoad->dialog()->nameFilters(), QStringList{"Firmware files (*.lab *.bin)"});
    EXPECT_EQ(window->dlgLoad->dialog()->acceptMode(), QFileDialog::AcceptOpen);
    EXPECT_EQ(window->dlgOFile->dialog()->nameFilters(), QStringList{"txt files(*.txt)"});
    EXPECT_EQ(window->dlgOFile->dialog()->acceptMode(), QFileDialog::AcceptOpen);
    EXPECT_EQ(window->dlgOFile->dialog()->directory().absolutePath(), QDir::rootPath());
    EXPECT_EQ(window->dlgSFile->dialog()->nameFilters(), QStringList{"txt files(*.txt)"});
    EXPECT_EQ(window->dlgSFile->dialog()->acceptMode(), QFileDialog::AcceptSave);
    EXPECT_EQ(window->dlgSFile->dialog()->directory().absolutePath(), QDir::rootPath());
    EXPECT_EQ(window->dlgSFile->dialog()->selectedFiles().value(0).section(QLatin1Char('/'), -1),
              QStringLiteral("KavrelCardData"));
    for (FileDialogComponent *d : {window->dlgLoad, window->dlgOFile, window->dlgSFile}) {
        EXPECT_EQ(d->dialog()->objectName(), d->objectName());
        EXPECT_FALSE(d->dialog()->isVisible());
    }
}

TEST_F(Layout, MainMenu)
{
    EXPECT_EQ(window->menuBar(), window->mnuMain);
    const QList<QAction *> bar = window->mnuMain->actions();
    // The three of the layout, then the window's tools.
    ASSERT_EQ(bar.size(), 4);
    EXPECT_EQ(bar[0], window->mnuFile->menuAction());
    EXPECT_EQ(bar[1], window->mnuLanguage->menuAction());
    EXPECT_EQ(bar[2], window->mnuAbout);
    EXPECT_EQ(bar[3], window->mnuTools->menuAction());
    EXPECT_EQ(window->mnuFile->title(), QStringLiteral("File"));
    EXPECT_EQ(window->mnuLanguage->title(), QStringLiteral("Language"));
    EXPECT_FALSE(window->mnuAbout->isVisible());
    EXPECT_EQ(window->mnuAbout->text(), QStringLiteral("&About"));

    const QList<QAction *> file = window->mnuFile->actions();
    ASSERT_EQ(file.size(), 3);
    EXPECT_EQ(file[0], window->mnuFirmwareFile);
    EXPECT_EQ(file[1], window->mnuLine1);
    EXPECT_EQ(file[2], window->mnuExit);
    EXPECT_FALSE(window->mnuFirmwareFile->isVisible());
    EXPECT_TRUE(window->mnuLine1->isSeparator());
    EXPECT_FALSE(window->mnuLine1->isVisible());
    EXPECT_TRUE(window->mnuExit->isVisible());
    EXPECT_EQ(window->mnuExit->text(), QStringLiteral("Exit"));

    const QList<QAction *> languages = window->mnuLanguage->actions();
    ASSERT_EQ(languages.size(), 3);
    EXPECT_EQ(languages[0], window->mnuEnglish);
    EXPECT_EQ(languages[1], window->mnuSimplified);
    EXPECT_EQ(languages[2], window->mnuTraditional);
    for (QAction *a : languages) {
        EXPECT_TRUE(a->isCheckable());
        EXPECT_TRUE(a->isVisible());
    }
    for (QAction *a :
         {window->mnuFile->menuAction(), window->mnuFirmwareFile, window->mnuExit, window->mnuLanguage->menuAction(),
          window->mnuEnglish, window->mnuSimplified, window->mnuTraditional, window->mnuAbout})
        EXPECT_TRUE(a->shortcut().isEmpty()) << a->text().toStdString();

    EXPECT_EQ(window->mnuTools->title(), QStringLiteral("&Tools"));
    const QList<QAction *> tools = window->mnuTools->actions();
    ASSERT_EQ(tools.size(), 2);
    EXPECT_EQ(tools[0], window->mnuTrafficMonitor);
    EXPECT_EQ(tools[1], window->mnuFindReaders);
    EXPECT_EQ(window->mnuTrafficMonitor->text(), QStringLiteral("&Traffic monitor"));
    EXPECT_EQ(window->mnuFindReaders->text(), QStringLiteral("&Find readers"));
    for (QAction *a : tools)
        EXPECT_TRUE(a->shortcut().isEmpty()) << a->text().toStdString();
    EXPECT_EQ(window->trafficMonitor(), nullptr) << "the monitor is made on first use";
    EXPECT_EQ(window->mnuEnglish->objectName(), QStringLiteral("mnuEnglish"));
    EXPECT_EQ(window->mnuLine1->objectName(), QStringLiteral("mnuLine1"));
}
