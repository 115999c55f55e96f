// Find readers through the real window against a line of virtual readers at two speeds on a
// pseudo-terminal: what the scan finds, what Use fills in (and does not save), Cancel, and
// the dialog's texts in the three languages.
#include "shell/findreaders.h"
#include "shell/toolstext.h"
#include "shell/trafficlog.h"
#include "shell/trafficmonitor.h"
#include "simserver.h"
#include "support/windowfixture.h"

#include <QElapsedTimer>
#include <QFile>
#include <QKeySequence>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace relvix;
using namespace relvix::testing;

namespace {

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class FindReaders : public WindowTest {
protected:
    void SetUp() override
    {
        // One reader at 9600, two at 19200; the one at 7 answers after the scan time-out.
        sim = std::make_unique<sim::SimServer>();
        sim->withReader([](sim::VirtualReader &r) {
            r.setAddress(2);
            r.setSerialNumber(0x0902);
            r.setLineSpeed(9600);
        });
        sim->addReader([](sim::VirtualReader &r) {
            r.setAddress(3);
            r.setSerialNumber(0x1903);
            r.setLineSpeed(19200);
        });
        sim->addReader([](sim::VirtualReader &r) {
            r.setAddress(7);
            r.setSerialNumber(0x1907);
            r.setLineSpeed(19200);
            r.setAnswerDelayMs(kDefaultScanTimeoutMs + 40);
        });
        pty = sim->openPty();
        ASSERT_FALSE(pty.isEmpty());
        makeWindow();
        window->edIP->setText(QStringLiteral("127.0.0.1"));
        window->pcPort->setCurrentWidget(window->tsCom);
        window->cmbPort->setEditText(pty);
        window->mnuFindReaders->trigger();
        dialog = window->findReaders();
        ASSERT_NE(dialog, nullptr);
    }

    void TearDown() override
    {
        window.reset();
        sim.reset();
    }

    // Only the modes given stay ticked.
    void tick(const QStringList &modes)
    {
        for (QCheckBox *box : dialog->chkModes)
            box->setChecked(modes.contains(box->text()));
    }

    std::unique_ptr<sim::SimServer> sim;
    QString pty;
    FindReadersDialog *dialog = nullptr;
};

TEST_F(FindReaders, FindsEachReaderAtItsSpeedAndUseFillsTheWindowSavingNothing)
{
    EXPECT_TRUE(window->mnuFindReaders->isEnabled());
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Find readers"));
    EXPECT_TRUE(dialog->rbSerial->isChecked()) << "the main window's transport";
    EXPECT_TRUE(dialog->rbSerial->text().contains(pty));
    EXPECT_EQ(dialog->seFrom->value(), 1);
    EXPECT_EQ(dialog->seTo->value(), 254);
    EXPECT_EQ(dialog->seTimeout->value(), 0);
    EXPECT_EQ(dialog->seTimeout->text(), QStringLiteral("automatic"));
    QStringList ticked;
    for (QCheckBox *box : dialog->chkModes)
        if (box->isChecked())
            ticked << box->text();
    EXPECT_EQ(ticked, DefaultScanModes());
    EXPECT_FALSE(dialog->chkModes.back()->isVisible()) << "the window's mode is one of them";
    window->cmbBaudrate->setEditText(QStringLiteral("115200,n,8,1"));
    EXPECT_FALSE(dialog->chkModes.back()->isVisible()) << "one of the wide preset's modes";
    EXPECT_TRUE(std::any_of(dialog->chkModes.begin(), dialog->chkModes.end(), [](QCheckBox *b) {
        return b->text() == QStringLiteral("115200,n,8,1") && b->isChecked() && !b->isHidden();
    })) << "the window's own mode is ticked";
    window->cmbBaudrate->setEditText(QStringLiteral("230400,n,8,1"));
    EXPECT_TRUE(dialog->chkModes.back()->isVisible()) << "the window's own mode, offered";
    EXPECT_TRUE(dialog->chkModes.back()->isChecked()) << "and tried";
    EXPECT_EQ(dialog->chkModes.back()->text(), QStringLiteral("230400,n,8,1"));
    // The wide preset ticks its 24 modes; Usual modes goes back.
    dialog->btnWide->click();
    QStringList wide;
    for (QCheckBox *box : dialog->chkModes)
        if (box->isChecked() && !box->isHidden() && box != dialog->chkModes.back())
            wide << box->text();
    EXPECT_EQ(wide.size(), WideScanModes().size());
    dialog->btnUsual->click();
    EXPECT_FALSE(dialog->chkModes[std::size_t(DefaultScanModes().size())]->isChecked());
    window->cmbBaudrate->setEditText(QStringLiteral("19200,e,8,1"));
    // An access key of its own on every button and link choice, in every language.
    for (int language : {0, 1, 2}) {
        dialog->setLanguage(language);
        QMap<int, QString> keys;
        for (QAbstractButton *b : dialog->findChildren<QAbstractButton *>()) {
            if (!qobject_cast<QPushButton *>(b) && !qobject_cast<QRadioButton *>(b))
                continue; // the modes are ticked with Space as Tab comes by
            const QKeySequence key = QKeySequence::mnemonic(b->text());
            EXPECT_FALSE(key.isEmpty()) << b->objectName().toStdString() << " " << language;
            if (key.isEmpty())
                continue;
            EXPECT_FALSE(keys.contains(key[0].toCombined()))
                << b->objectName().toStdString() << " and " << keys.value(key[0].toCombined()).toStdString() << " "
                << language;
            keys.insert(key[0].toCombined(), b->objectName());
        }
    }
    dialog->setLanguage(0);

    window->mnuTrafficMonitor->trigger();
    const QByteArray settingsBefore = fileBytes(settingsFile());
    tick({QStringLiteral("9600,e,8,1"), QStringLiteral("19200,e,8,1")});
    dialog->seTo->setValue(8);
    ASSERT_TRUE(dialog->startScan());

    const ScanResult &r = dialog->lastResult();
    EXPECT_EQ(r.done, 16);
    EXPECT_EQ(r.total, 16);
    EXPECT_FALSE(r.stopped || r.openFailed || r.lost);
    QStringList found;
    for (const FindReadersDialog::Row &row : dialog->rows())
        found << QStringLiteral("%1 %2 %3%4")
                     .arg(row.hit.mode, QString::number(row.hit.address),
                          row.hit.identity ? QString::number(row.hit.identity->serialNumber, 16) : QStringLiteral("-"),
                          row.hit.late ? QStringLiteral(" late") : QString());
    EXPECT_EQ(found, (QStringList{"9600,e,8,1 2 902", "19200,e,8,1 3 1903", "19200,e,8,1 7 1907 late"}));
    ASSERT_EQ(dialog->grdFound->rowCount(), 3);
    EXPECT_EQ(dialog->grdFound->item(1, 2)->text(), QStringLiteral("00001903"));
    EXPECT_EQ(dialog->grdFound->item(2, 5)->text(), toolText(0, ToolText::LateNote));
    EXPECT_EQ(dialog->lblStatus->text(), QStringLiteral("3 reader(s) found; 16 of 16 addresses asked"));
    EXPECT_TRUE(
        dialog->lblHint->text().startsWith(QStringLiteral("1 reader(s) answered later than the scan time-out of ")))
        << dialog->lblHint->text().toStdString();
    expectIdle(kRed);
    EXPECT_EQ(window->link.answerRule(), AnswerRule::FirstValid) << "the window's own rule is back";

    // The late answer is in the monitor as a dropped frame from its sender.
    TrafficLog &log = window->trafficMonitor()->log();
    log.flush();
    QStringList drops;
    for (int row = 0; row < log.rowCount(); ++row)
        if (log.field(row, TrafficLog::Direction) == QStringLiteral("DROP mismatch"))
            drops << log.field(row, TrafficLog::Slave) + QLatin1Char('|') + log.field(row, TrafficLog::Meaning);
    ASSERT_FALSE(drops.isEmpty());
    EXPECT_TRUE(drops[0].startsWith(QStringLiteral("7|address 7; from slave 7, "))) << drops[0].toStdString();

    // Use: double-click one row, then the button on another; the fields change, the settings do not.
    emit dialog->grdFound->cellDoubleClicked(0, 0);
    EXPECT_EQ(window->cmbBaudrate->currentText(), QStringLiteral("9600,e,8,1"));
    EXPECT_EQ(window->sbSlave->value(), 2);
    dialog->grdFound->selectRow(1);
    dialog->btnUse->click();
    EXPECT_EQ(window->pcPort->currentWidget(), window->tsCom);
    EXPECT_EQ(window->cmbPort->currentText(), pty);
    EXPECT_EQ(window->cmbBaudrate->currentText(), QStringLiteral("19200,e,8,1"));
    EXPECT_EQ(window->sbSlave->value(), 3);
    EXPECT_EQ(window->pnSlave->text(), QStringLiteral("3"));
    EXPECT_EQ(fileBytes(settingsFile()), settingsBefore) << "Use saves nothing";

    // Connect reaches the reader with them, and saves them then.
    window->btnConnect->click();
    EXPECT_EQ(window->pnMsg->text(), QStringLiteral("Command ok."));
    EXPECT_EQ(window->pnSN->text(), QStringLiteral("S/N : 00001903"));
    EXPECT_TRUE(fileBytes(settingsFile()).contains("19200,e,8,1"));

    QTemporaryDir files;
    const QString csvPath = files.filePath(QStringLiteral("readers.csv"));
    ASSERT_TRUE(dialog->exportCsv(csvPath));
    const QStringList csv = QString::fromUtf8(fileBytes(csvPath)).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    ASSERT_EQ(csv.size(), 4);
    EXPECT_EQ(csv[0], QStringLiteral("transport,port,mode,address,serial,version,response_ms,late"));
    EXPECT_TRUE(csv[3].startsWith(QStringLiteral("serial,%1,\"19200,e,8,1\",7,00001907,").arg(pty)))
        << csv[3].toStdString();
    EXPECT_TRUE(csv[3].endsWith(QStringLiteral(",yes")));

    // The texts follow the window's language in place.
    for (int language : {1, 2, 0}) {
        QAction *items[] = {window->mnuEnglish, window->mnuSimplified, window->mnuTraditional};
        items[language]->trigger();
        EXPECT_EQ(dialog->windowTitle(), toolText(language, ToolText::FinderTitle));
        EXPECT_EQ(dialog->btnStart->text(), toolText(language, ToolText::Start));
        EXPECT_EQ(dialog->btnExport->text(), toolText(language, ToolText::ExportCsv));
        EXPECT_EQ(dialog->gbModes->title(), toolText(language, ToolText::ModesGroup));
        EXPECT_EQ(dialog->grdFound->horizontalHeaderItem(2)->text(), toolText(language, ToolText::SerialNumberColumn));
        EXPECT_EQ(dialog->grdFound->item(2, 5)->text(), toolText(language, ToolText::LateNote));
        EXPECT_EQ(dialog->rbSerial->text(), toolText(language, ToolText::SerialChoice).arg(pty));
    }
}

// The dialog by keyboard alone: Enter in a field starts, Enter on a row uses it, Tab leaves
// the table, and Escape cancels a running scan before it closes the window.
TEST_F(FindReaders, EnterStartsAndUsesTabLeavesTheTableEscapeCancelsThenCloses)
{
    const auto key = [](QWidget *to, Qt::Key k) {
        QKeyEvent press(QEvent::KeyPress, k, Qt::NoModifier);
        QCoreApplication::sendEvent(to, &press);
    };
    tick({QStringLiteral("9600,e,8,1")});
    dialog->seFrom->setValue(1);
    dialog->seTo->setValue(3);
    const struct {
        QWidget *focus;
        Qt::Key key;
    } kStarts[] = {{dialog->seFrom, Qt::Key_Return}, {dialog->seTo, Qt::Key_Enter}};
    for (const auto &s : kStarts) {
        s.focus->setFocus();
        key(s.focus, s.key); // the scan runs while the key is handled
        EXPECT_EQ(dialog->lastResult().done, 3) << s.key;
        ASSERT_EQ(dialog->grdFound->rowCount(), 1) << s.key;
    }

    // The focus is on the readers found, the first selected: Enter again uses it.
    window->sbSlave->setValue(9);
    EXPECT_EQ(dialog->focusWidget(), dialog->grdFound);
    EXPECT_EQ(dialog->grdFound->currentRow(), 0);
    key(dialog->focusWidget(), Qt::Key_Return);
    EXPECT_EQ(window->sbSlave->value(), 2) << "Enter on the row used it";
    EXPECT_EQ(window->cmbBaudrate->currentText(), QStringLiteral("9600,e,8,1"));
    EXPECT_EQ(dialog->lastResult().done, 3) << "and started no scan";

    dialog->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dialog));
    dialog->grdFound->setFocus();
    QTest::keyClick(dialog->grdFound, Qt::Key_Tab);
    EXPECT_NE(QApplication::focusWidget(), dialog->grdFound) << "Tab leaves the table";
    EXPECT_TRUE(dialog->isAncestorOf(QApplication::focusWidget()));

    bool scanning = false;
    tick({QStringLiteral("9600,e,8,1"), QStringLiteral("19200,e,8,1")});
    dialog->seFrom->setValue(1);
    dialog->seTo->setValue(254);
    whenReady([&] { return sim->requestCount() >= 10; },
              [&] {
                  scanning = !dialog->btnStart->isEnabled();
                  key(dialog->seFrom, Qt::Key_Escape);
              });
    dialog->btnStart->click();
    EXPECT_TRUE(scanning);
    EXPECT_TRUE(dialog->lastResult().stopped) << "Escape cancelled the scan";
    EXPECT_LT(dialog->lastResult().done, dialog->lastResult().total);
    EXPECT_FALSE(dialog->isVisible()) << "and closed the window";
    EXPECT_TRUE(window->btnConnect->isEnabled());
}

TEST_F(FindReaders, CancelEndsTheScanSoonAndGivesTheWindowBack)
{
    // While another operation holds the link, the scan does not start.
    window->link.state.portName = pty;
    window->link.state.serialMode = QStringLiteral("19200,e,8,1");
    ASSERT_TRUE(window->link.OpenLink());
    EXPECT_FALSE(dialog->startScan());
    EXPECT_EQ(dialog->lblStatus->text(), toolText(0, ToolText::BusyStatus));
    window->link.CloseLink();

    bool windowLocked = false;
    QElapsedTimer sinceCancel;
    whenReady([&] { return sim->requestCount() >= 20; },
              [&] {
                  windowLocked =
                      !window->isEnabled() && !window->btnConnect->isEnabled() && !dialog->btnStart->isEnabled();
                  sinceCancel.start();
                  dialog->btnCancel->click();
              });
    dialog->btnStart->click(); // all five modes over 1..254: minutes, unless cancelled
    const qint64 stoppedAfter = sinceCancel.elapsed();
    EXPECT_TRUE(windowLocked) << "the window's operations wait while the scan runs";
    EXPECT_TRUE(dialog->lastResult().stopped);
    EXPECT_LT(dialog->lastResult().done, dialog->lastResult().total);
    EXPECT_LT(stoppedAfter, 5000) << "within one exchange, with a wide margin";
    EXPECT_TRUE(dialog->lblStatus->text().startsWith(QStringLiteral("Cancelled: ")))
        << dialog->lblStatus->text().toStdString();
    EXPECT_TRUE(dialog->btnStart->isEnabled());
    EXPECT_FALSE(dialog->btnCancel->isEnabled());
    EXPECT_TRUE(window->btnConnect->isEnabled());
    expectIdle(kRed);
}

} // namespace
