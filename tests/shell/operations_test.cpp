// Every reader operation through the real window, over a scripted link: exact request
// frames, the decoding into the window, and the bracket's endings (status, lamp, cursor,
// tone, link closed once, window usable again).
#include "support/scriptedlink.h"
#include "support/windowfixture.h"

#include <QFile>
#include <QSettings>

using namespace relvix;
using namespace relvix::testing;

namespace {

QByteArray uidResponse(const char *sixteenBytes)
{
    return frameWithCrc((QByteArray("01 03 10 ") + sixteenBytes).constData());
}

class Operations : public WindowTest {
protected:
    void SetUp() override
    {
        makeWindow(&clock, &link);
        // Never the window's default address: the scripted link is not a network, but the
        // fields are set as every test of an operation must.
        window->pcPort->setCurrentWidget(window->tsNet);
        window->edIP->setText(QStringLiteral("127.0.0.1"));
        window->edPort->setText(QStringLiteral("4001"));
        tones->calls.clear();
    }

    QString status() const { return window->pnMsg->text(); }

    ManualClock clock;
    ScriptedLinkOpener link{clock};
};

// ---- connect and identify ----

TEST_F(Operations, ConnectFindsTheReaderAndReadsItsIdentity)
{
    link.replies = {frameWithCrc("01 03 02 00 01"), frameWithCrc("01 03 06 00 12 AB CD 1A 05")};
    window->btnConnect->click();

    ASSERT_EQ(link.sent.size(), 2);
    EXPECT_EQ(link.sent[0], bytesFromHex("01 03 01 00 00 01 85 F6"));
    EXPECT_EQ(link.sent[1], bytesFromHex("01 03 01 07 00 03 B5 F6"));
    EXPECT_EQ(window->pnSN->text(), QStringLiteral("S/N : 0012ABCD"));
    EXPECT_EQ(window->pnVER->text(), QStringLiteral("VER : 1A05"));
    EXPECT_EQ(window->edTX->text(), QStringLiteral("01 03 01 07 00 03 B5 F6 "));
    EXPECT_EQ(status(), QStringLiteral("Command ok."));
    EXPECT_EQ(tones->calls, (QList<QPair<int, int>>{{1000, 300}}));
    EXPECT_EQ(window->link.closeCount(), 1);
    expectIdle(kYellow);

    QSettings stored(settingsFile(), kSettingsFormat);
    EXPECT_EQ(stored.value(QStringLiteral("TYPE")).toInt(), 1);
    EXPECT_EQ(stored.value(QStringLiteral("NetIP")).toString(), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(stored.value(QStringLiteral("NetPort")).toString(), QStringLiteral("4001"));
}

TEST_F(Operations, ConnectMovesTheSelectorToTheReportedAddressLowByte)
{
    link.replies = {frameWithCrc("01 03 02 01 05"), frameWithCrc("05 03 06 00 00 00 01 00 01")};
    window->btnConnect->click();
    EXPECT_EQ(window->sbSlave->value(), 5);
    EXPECT_EQ(window->pnSlave->text(), QStringLiteral("5"));
    ASSERT_EQ(link.sent.size(), 2);
    EXPECT_EQ(std::uint8_t(link.sent[1][0]), 5) << "identity is read from the reported address";
}

TEST_F(Operations, ConnectGivesUpAfterThreeTriesAndStoresNothing)
{
    StatusRecorder statuses(window->pnMsg);
    window->sbSlave->setValue(7);
    window->btnConnect->click();

    EXPECT_EQ(link.sent.size(), 3);
    EXPECT_TRUE(statuses.texts.contains(QStringLiteral("Connecting device ... ( 4 )")));
    EXPECT_TRUE(statuses.texts.contains(QStringLiteral("Connecting device ... ( 3 )")));
    EXPECT_TRUE(statuses.texts.contains(QStringLiteral("Connecting device ... ( 2 )")));
    EXPECT_EQ(status(), QStringLiteral("Connect device error!"));
    EXPECT_EQ(tones->calls, (QList<QPair<int, int>>{{300, 300}}));
    EXPECT_EQ(window->sbSlave->value(), 7);
    EXPECT_EQ(window->link.closeCount(), 1);
    expectIdle(kRed);
    QSettings stored(settingsFile(), kSettingsFormat);
    EXPECT_FALSE(stored.contains(QStringLiteral("NetPort")));
    EXPECT_FALSE(stored.contains(QStringLiteral("TYPE")));
}

TEST_F(Operations, ConnectRejectsAnAddressAnswerOfTheWrongLength)
{
    // CRC-valid but 9 bytes long: not an address answer; the second try succeeds.
    link.replies = {frameWithCrc("01 03 04 00 01 00 02"), frameWithCrc("01 03 02 00 01"), {}};
    window->btnConnect->click();
    EXPECT_EQ(link.sent.size(), 3);
    EXPECT_EQ(status(), QStringLiteral("Command ok."));
}

TEST_F(Operations, ConnectWithFailedIdentityStillSucceeds)
{
    window->pnSN->setText(QStringLiteral("old"));
    link.replies = {frameWithCrc("01 03 02 00 01"), {}};
    window->btnConnect->click();
    EXPECT_EQ(window->pnSN->text(), QString());
    EXPECT_EQ(window->pnVER->text(), QString());
    EXPECT_EQ(status(), QStringLiteral("Command ok."));
    expectIdle(kYellow);
    EXPECT_TRUE(settingsSaved());
}

TEST_F(Operations, LinkThatDoesNotOpenReportsConnectErrorWithoutClosing)
{
    link.failOpen = true;
    window->btnReadDiDo->click();
    EXPECT_EQ(status(), QStringLiteral("Connect device error!"));
    EXPECT_EQ(window->link.closeCount(), 0);
    EXPECT_TRUE(link.sent.isEmpty());
    EXPECT_EQ(tones->calls, (QList<QPair<int, int>>{{300, 300}}));
    expectIdle(kRed);
}

TEST_F(Operations, SliderMovedByHandShowsAtOnceAndSendsNothing)
{
    window->sbSlave->setValue(37);
    EXPECT_EQ(window->pnSlave->text(), QStringLiteral("37"));
    EXPECT_TRUE(link.sent.isEmpty());
}

// ---- the bracket ----

TEST_F(Operations, SlaveAddressIsTheLowByteOfTheSelector)
{
    window->sbSlave->setValue(300);
    window->btnSendCommandRTU->click();
    ASSERT_EQ(link.sent.size(), 1);
    EXPECT_EQ(std::uint8_t(link.sent[0][0]), 0x2C);
}

TEST_F(Operations, BeginOperationTakesOnlyTheActivePagesSettings)
{
    window->link.state.peerAddress = QStringLiteral("untouched");
    window->pcPort->setCurrentWidget(window->tsCom);
    window->cmbPort->setEditText(QStringLiteral("ttyFAKE9"));
    window->cmbBaudrate->setEditText(QStringLiteral("9600,n,8,1"));
    link.replies = {frameWithCrc("01 03 04 00 00 00 00")};
    window->btnReadDiDo->click();
    EXPECT_EQ(window->link.state.transport, Transport::Serial);
    EXPECT_EQ(window->link.state.portName, QStringLiteral("ttyFAKE9"));
    EXPECT_EQ(window->link.state.serialMode, QStringLiteral("9600,n,8,1"));
    EXPECT_EQ(window->link.state.peerAddress, QStringLiteral("untouched"));
}

TEST_F(Operations, LampBlinksWhileBusy)
{
    window->tmrBusyTag = 0;
    window->tmrBusyTimer();
    EXPECT_EQ(window->shComm->brushColor(), kRed);
    EXPECT_EQ(window->tmrBusyTag, 1);
    window->tmrBusyTimer();
    EXPECT_EQ(window->shComm->brushColor(), kYellow);
    EXPECT_EQ(window->tmrBusyTag, 0);
    window->SetBusy(1);
    EXPECT_TRUE(window->tmrBusy->isActive());
    EXPECT_FALSE(window->isEnabled());
    window->SetBusy(2); // anything but 1 is off
    EXPECT_FALSE(window->tmrBusy->isActive());
    EXPECT_TRUE(window->isEnabled());
}

// ---- raw command ----

TEST_F(Operations, RawCommandShowsRequestAndEcho)
{
    window->edCommandSend->setText(QStringLiteral("06"));
    window->edCommandSendData->setText(QStringLiteral("0111FFFF"));
    link.replies = {bytesFromHex("01 06 01 11 FF FF D9 83")};
    window->btnSendCommandRTU->click();
    ASSERT_EQ(link.sent.size(), 1);
    EXPECT_EQ(link.sent[0], bytesFromHex("01 06 01 11 FF FF D9 83"));
    EXPECT_EQ(window->edCommandTran->text(), QStringLiteral("01 06 01 11 FF FF D9 83 "));
    EXPECT_EQ(window->edCommandRecv->text(), QStringLiteral("01 06 01 11 FF FF D9 83 "));
    EXPECT_EQ(window->edRX->text(), QStringLiteral("01 06 01 11 FF FF D9 83 "));
    EXPECT_EQ(status(), QStringLiteral("Command ok."));
    expectIdle(kYellow);
}

TEST_F(Operations, RawCommandExceptionReplyFailsAfterTheTimeOut)
{
    window->edCommandRecv->setText(QStringLiteral("stale"));
    link.replies = {frameWithCrc("01 83 02")};
    const auto before = clock.now;
    window->btnSendCommandRTU->click();
    EXPECT_GT(clock.now - before, 1000u);
    EXPECT_EQ(window->edCommandTran->text(), QStringLiteral("01 03 01 00 00 01 85 F6 "));
    EXPECT_EQ(window->edTX->text(), QStringLiteral("01 03 01 00 00 01 85 F6 "));
    EXPECT_EQ(window->edCommandRecv->text(), QString());
    EXPECT_EQ(window->edRX->text(), QString());
    EXPECT_EQ(status(), QStringLiteral("Command error!"));
    EXPECT_EQ(tones->calls, (QList<QPair<int, int>>{{300, 300}}));
    EXPECT_EQ(window->link.closeCount(), 1);
    expectIdle(kRed);
}

TEST_F(Operations, RawCommandWithBadDataTextSendsNoDataBytes)
{
    for (const char *bad : {"01 00", "0x01", "01G0", "-1"}) {
        link.sent.clear();
        window->edCommandSendData->setText(QString::fromLatin1(bad));
        window->btnSendCommandRTU->click();
        ASSERT_EQ(link.sent.size(), 1) << bad;
        EXPECT_EQ(link.sent[0], frameWithCrc("01 03")) << bad;
    }
}

TEST_F(Operations, RawCommandTextRules)
{
    struct Case {
        const char *function, *data, *frame;
    } cases[] = {
        {"3", "123", "01 03 12 03"},
        {"103", "ff", "01 03 FF"},
        {"", "", "01 00"},
        {"zz", "0100", "01 00 01 00"},
    };
    for (const Case &c : cases) {
        link.sent.clear();
        window->edCommandSend->setText(QString::fromLatin1(c.function));
        window->edCommandSendData->setText(QString::fromLatin1(c.data));
        window->btnSendCommandRTU->click();
        ASSERT_EQ(link.sent.size(), 1);
        EXPECT_EQ(link.sent[0], frameWithCrc(c.frame)) << c.function << " / " << c.data;
    }
}

TEST_F(Operations, SecondRawCommandShowsOnlyItsOwnExchange)
{
    link.replies = {frameWithCrc("01 03 02 00 01"), {}};
    window->btnSendCommandRTU->click();
    EXPECT_FALSE(window->edCommandRecv->text().isEmpty());
    window->btnSendCommandRTU->click();
    EXPECT_EQ(window->edCommandRecv->text(), QString());
    EXPECT_EQ(window->edRX->text(), QString());
}

// ---- address, reboot, factory settings ----

TEST_F(Operations, SetIdWritesToTheOldAddressThenMovesTheSelector)
{
    window->sbID->setValue(5);
    EXPECT_EQ(window->pnID->text(), QStringLiteral("5"));
    window->btnSetID->click(); // the reader does not answer
    ASSERT_EQ(link.sent.size(), 1);
    EXPECT_EQ(link.sent[0], bytesFromHex("01 06 01 00 00 05 48 35"));
    EXPECT_EQ(window->edCommandSend->text(), QStringLiteral("06"));
    EXPECT_EQ(window->edCommandSendData->text(), QStringLiteral("01000005"));
    EXPECT_EQ(window->sbSlave->value(), 5);
    EXPECT_EQ(window->pnSlave->text(), QStringLiteral("5"));
    EXPECT_EQ(status(), QStringLiteral("Command error!"));
    ASSERT_EQ(questions.size(), 1);
    EXPECT_EQ(questions[0], QStringLiteral("Set ID|Are you sure?"));
}

TEST_F(Operations, SetIdAtTheTopOfItsRange)
{
    window->sbID->setValue(window->sbID->maximum());
    EXPECT_EQ(window->pnID->text(), QStringLiteral("254"));
    link.replies = {bytesFromHex("01 06 01 00 00 FE 09 B6")};
    window->btnSetID->click();
    EXPECT_EQ(link.sent.value(0), bytesFromHex("01 06 01 00 00 FE 09 B6"));
    EXPECT_EQ(status(), QStringLiteral("Command ok."));
}

TEST_F(Operations, RebootAndFactorySettingsFrames)
{
    window->btnReboot->click();
    window->btnInitial->click();
    ASSERT_EQ(link.sent.size(), 2);
    EXPECT_EQ(link.sent[0], bytesFromHex("01 06 01 0A 00 01 69 F4"));
    EXPECT_EQ(link.sent[1], bytesFromHex("01 06 01 0A 00 02 29 F5"));
    EXPECT_EQ(questions,
              (QStringList{QStringLiteral("Set reboot|Are you sure?"), QStringLiteral("Set factory|Are you sure?")}));
}

TEST_F(Operations, AnsweringNoChangesNothing)
{
    answerYes = false;
    window->sbID->setValue(9);
    for (QPushButton *b : {window->btnSetID, window->btnReboot, window->btnInitial})
        b->click();
    EXPECT_EQ(questions.size(), 3);
    EXPECT_TRUE(link.sent.isEmpty());
    EXPECT_EQ(window->edCommandSend->text(), QStringLiteral("03"));
    EXPECT_EQ(window->edCommandSendData->text(), QStringLiteral("01000001"));
    EXPECT_EQ(window->sbSlave->value(), 1);
}

// ---- card data ----

TEST_F(Operations, SingleCardReadShowsUidAndKeys)
{
    window->chkLoop->setChecked(false);
    link.replies = {uidResponse("12 34 56 78 00 00 00 00 00 00 00 00 00 00 00 00"),
                    uidResponse("01 02 0A 04 00 00 00 00 00 00 00 00 00 00 00 00")};
    window->btnUID->click();
    ASSERT_EQ(link.sent.size(), 2);
    EXPECT_EQ(link.sent[0], bytesFromHex("01 03 01 12 00 08 E5 F5"));
    EXPECT_EQ(link.sent[1], bytesFromHex("01 03 01 1B 00 08 35 F7"));
    EXPECT_EQ(window->pnUID->text(), QStringLiteral("0305419896"));
    EXPECT_EQ(window->pnKey->text(), QStringLiteral("1204"));
    EXPECT_EQ(window->btnUID->text(), QStringLiteral("Read data"));
    EXPECT_EQ(window->btnUIDTag, 0);
    EXPECT_EQ(status(), QStringLiteral("Command ok."));
    expectIdle(kYellow);
}

TEST_F(Operations, CardReadWithOnlyTheKeypadAnsweringCountsAsGood)
{
    window->chkLoop->setChecked(false);
    window->chkKeyHex->setChecked(true);
    link.replies = {{}, uidResponse("01 02 0A 04 00 00 00 00 00 00 00 00 00 00 00 00")};
    window->btnUID->click();
    EXPECT_EQ(window->pnUID->text(), QString());
    EXPECT_EQ(window->pnKey->text(), QStringLiteral("01020A04000000000000000000000000 (H)"));
    EXPECT_EQ(status(), QStringLiteral("Command ok."));
}

TEST_F(Operations, CardReadWithWrongLengthsFails)
{
    window->chkLoop->setChecked(false);
    link.replies = {frameWithCrc("01 03 02 00 01"), frameWithCrc("01 03 02 00 01")};
    window->btnUID->click();
    EXPECT_EQ(window->pnUID->text(), QString());
    EXPECT_EQ(status(), QStringLiteral("Command error!"));
    expectIdle(kRed);
}

TEST_F(Operations, LoopReadsUntilCancelledWithOnlyTheTenControlsLocked)
{
    for (int i = 0; i < 200; ++i)
        link.replies.push_back(uidResponse("12 34 56 78 00 00 00 00 00 00 00 00 00 00 00 00"));
    QList<QWidget *> locked = {window->btnConnect,  window->pcPort,    window->gbID,     window->btnClearUID,
                               window->tsCommand,   window->btnReboot, window->btnSetID, window->btnInitial,
                               window->btnReadDiDo, window->btnSetDo};
    QList<QWidget *> usable = {window->btnUID,  window->cmbFormat, window->chkLSB,
                               window->chkLoop, window->chkKeyHex, window->sbSlave};
    int lockedSeen = 0, usableSeen = 0;
    bool secondPressIgnored = false;
    // Once the first pass is done and the loop runs with the window usable again:
    whenReady([&] { return link.sent.size() >= 2 && window->isEnabled(); },
              [&] {
                  EXPECT_EQ(window->btnUID->text(), QStringLiteral("Cancel"));
                  EXPECT_TRUE(window->menuBar()->isEnabled());
                  for (QWidget *w : locked)
                      lockedSeen += !w->isEnabled();
                  for (QWidget *w : usable)
                      usableSeen += w->isEnabled();
                  // Change the format between passes; after a pass that used it, cancel and press
                  // again at once.
                  window->cmbFormat->setCurrentIndex(2);
                  const int sentAtChange = int(link.sent.size());
                  whenReady([&, sentAtChange] { return link.sent.size() >= sentAtChange + 2; },
                            [&] {
                                window->btnUID->click();
                                EXPECT_EQ(window->btnUID->text(), QStringLiteral("Read data"));
                                EXPECT_EQ(window->btnUIDTag, 0);
                                const int opensBefore = link.opens;
                                window->btnUID->click();
                                secondPressIgnored = link.opens == opensBefore;
                            });
              });
    window->btnUID->click();

    EXPECT_EQ(lockedSeen, locked.size());
    EXPECT_EQ(usableSeen, usable.size());
    EXPECT_TRUE(secondPressIgnored);
    EXPECT_EQ(link.opens, 1);
    EXPECT_GE(link.sent.size(), 4);
    EXPECT_EQ(link.sent.size() % 2, 0);
    EXPECT_EQ(window->pnUID->text(), QStringLiteral("12345678 (H)"));
    for (QWidget *w : locked)
        EXPECT_TRUE(w->isEnabled()) << w->objectName().toStdString();
    EXPECT_EQ(window->btnUID->text(), QStringLiteral("Read data"));
    EXPECT_EQ(status(), QStringLiteral("Command ok."));
    EXPECT_EQ(window->link.closeCount(), 1);
    expectIdle(kYellow);
}

TEST_F(Operations, UntickingLoopEndsReadingAfterThePass)
{
    for (int i = 0; i < 200; ++i)
        link.replies.push_back({});
    whenReady([&] { return link.sent.size() >= 2 && window->isEnabled(); },
              [&] { window->chkLoop->setChecked(false); });
    window->btnUID->click();
    EXPECT_EQ(status(), QStringLiteral("Command error!"));
    EXPECT_EQ(window->btnUID->text(), QStringLiteral("Read data"));
    expectIdle(kRed);
}

TEST_F(Operations, CloseDuringLoopKeepsReadingUntilCancelledThenEnds)
{
    for (int i = 0; i < 200; ++i)
        link.replies.push_back(uidResponse("12 34 56 78 00 00 00 00 00 00 00 00 00 00 00 00"));
    bool visibleAfterClose = false, visibleWhileReading = false;
    int sentAtClose = 0;
    whenReady([&] { return link.sent.size() >= 2 && window->isEnabled(); },
              [&] {
                  window->close();
                  visibleAfterClose = window->isVisible();
                  sentAtClose = int(link.sent.size());
                  // The reading goes on; two more whole passes, then Cancel.
                  whenReady([&] { return link.sent.size() >= sentAtClose + 4; },
                            [&] {
                                visibleWhileReading = window->isVisible();
                                window->btnUID->click();
                            });
              });
    window->btnUID->click();
    EXPECT_TRUE(visibleAfterClose);
    EXPECT_TRUE(visibleWhileReading);
    EXPECT_GE(link.sent.size(), sentAtClose + 4);
    EXPECT_EQ(status(), QStringLiteral("Command ok."));
    // Once the reading has stopped, the close goes through.
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->link.closeCount(), 1);
    EXPECT_FALSE(window->link.isOpen());
}

TEST_F(Operations, ClearWritesBothBlocks)
{
    window->pnUID->setText(QStringLiteral("kept"));
    link.replies = {{}, bytesFromHex("01 06 01 1B 00 01 39 F1")};
    window->btnClearUID->click();
    ASSERT_EQ(link.sent.size(), 2);
    EXPECT_EQ(link.sent[0], bytesFromHex("01 06 01 12 00 01 E9 F3"));
    EXPECT_EQ(link.sent[1], bytesFromHex("01 06 01 1B 00 01 39 F1"));
    EXPECT_EQ(status(), QStringLiteral("Command ok."));
    EXPECT_EQ(window->pnUID->text(), QStringLiteral("kept"));

    link.sent.clear();
    window->btnClearUID->click();
    EXPECT_EQ(status(), QStringLiteral("Command error!"));
}

// ---- digital inputs and outputs ----

TEST_F(Operations, ReadDiDoShowsBothRegisters)
{
    link.replies = {frameWithCrc("01 03 04 00 A5 0F 00")};
    window->btnReadDiDo->click();
    EXPECT_EQ(link.sent.value(0), bytesFromHex("01 03 01 10 00 02 C4 32"));
    EXPECT_EQ(window->pnDiVal->text(), QStringLiteral("00A5"));
    EXPECT_EQ(window->pnDoVal->text(), QStringLiteral("0F00"));
    EXPECT_EQ(status(), QStringLiteral("Command ok."));
}

TEST_F(Operations, ReadDiDoOfTheWrongLengthLeavesThePanels)
{
    window->pnDiVal->setText(QStringLiteral("1234"));
    link.replies = {frameWithCrc("01 03 06 00 A5 0F 00 00 00")};
    window->btnReadDiDo->click();
    EXPECT_EQ(window->pnDiVal->text(), QStringLiteral("1234"));
    EXPECT_EQ(window->pnDoVal->text(), QStringLiteral("0000"));
    EXPECT_EQ(status(), QStringLiteral("Command error!"));
    expectIdle(kRed);
}

TEST_F(Operations, SetDoSendsTheValueAsTyped)
{
    struct Case {
        const char *typed, *frame;
    } cases[] = {
        {"FFFF", "01 06 01 11 FF FF"}, {"FF", "01 06 01 11 FF"}, {"FFF", "01 06 01 11 FF 0F"},
        {"", "01 06 01 11"},           {"GG", "01 06"},
    };
    for (const Case &c : cases) {
        link.sent.clear();
        window->edSetDo->setText(QString::fromLatin1(c.typed));
        window->btnSetDo->click();
        ASSERT_EQ(link.sent.size(), 1) << c.typed;
        EXPECT_EQ(link.sent[0], frameWithCrc(c.frame)) << c.typed;
        EXPECT_EQ(window->edCommandSend->text(), QStringLiteral("06"));
        EXPECT_EQ(window->edCommandSendData->text(), QStringLiteral("0111") + QString::fromLatin1(c.typed));
    }
    EXPECT_EQ(window->pnDoVal->text(), QStringLiteral("0000"));
}

} // namespace
