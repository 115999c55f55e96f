// The real window over the real link against the virtual reader, on loopback TCP and on a
// pseudo-terminal. Real time passes here, so the assertions leave wide margins.
#include "support/simwindowfixture.h"

#include <QElapsedTimer>
#include <QSettings>

using namespace relvix;
using namespace relvix::testing;

namespace {

using EndToEnd = SimWindowTest;

TEST_P(EndToEnd, ConnectIdentifiesTheReaderAndRemembersTheLink)
{
    sim->withReader([](sim::VirtualReader &r) {
        r.setSerialNumber(0x0012ABCD);
        r.setVersion(0x1A05);
    });
    window->btnConnect->click();
    EXPECT_EQ(status(), QStringLiteral("Command ok."));
    EXPECT_EQ(window->pnSN->text(), QStringLiteral("S/N : 0012ABCD"));
    EXPECT_EQ(window->pnVER->text(), QStringLiteral("VER : 1A05"));
    EXPECT_EQ(sim->requestCount(), 2);
    EXPECT_EQ(window->edTX->text(), QStringLiteral("01 03 01 07 00 03 B5 F6 "));
    expectIdle(kYellow);

    QSettings stored(settingsFile(), kSettingsFormat);
    if (GetParam() == SimLink::Tcp) {
        EXPECT_EQ(stored.value(QStringLiteral("TYPE")).toInt(), 1);
        EXPECT_EQ(stored.value(QStringLiteral("NetIP")).toString(), QStringLiteral("127.0.0.1"));
        EXPECT_EQ(stored.value(QStringLiteral("NetPort")).toString(), window->edPort->text());
    } else {
        EXPECT_EQ(stored.value(QStringLiteral("TYPE")).toInt(), 0);
        EXPECT_EQ(stored.value(QStringLiteral("ComPortName")).toString(), ptyPath);
    }
}

TEST_P(EndToEnd, ConnectFindsAReaderAtAnotherAddressOnlyWhereItIsAsked)
{
    sim->withReader([](sim::VirtualReader &r) { r.setAddress(7); });
    window->sbSlave->setValue(7);
    window->btnConnect->click();
    EXPECT_EQ(status(), QStringLiteral("Command ok."));
    EXPECT_EQ(window->pnSlave->text(), QStringLiteral("7"));

    // At address 1 the reader stays silent: three tries, each ending in the time-out.
    removeSettings();
    window->sbSlave->setValue(1);
    QElapsedTimer t;
    t.start();
    window->btnConnect->click();
    EXPECT_EQ(status(), QStringLiteral("Connect device error!"));
    EXPECT_GE(t.elapsed(), 3000);
    EXPECT_EQ(window->sbSlave->value(), 1);
    EXPECT_FALSE(QSettings(settingsFile(), kSettingsFormat).contains(QStringLiteral("NetPort")));
    expectIdle(kRed);
}

TEST_P(EndToEnd, RawWriteIsEchoedAndAnExceptionReplyFails)
{
    window->edCommandSend->setText(QStringLiteral("06"));
    window->edCommandSendData->setText(QStringLiteral("0111FFFF"));
    window->btnSendCommandRTU->click();
    EXPECT_EQ(window->edCommandRecv->text(), QStringLiteral("01 06 01 11 FF FF D9 83 "));
    EXPECT_EQ(status(), QStringLiteral("Command ok."));
    sim->withReader([](sim::VirtualReader &r) { EXPECT_EQ(r.outputs(), 0xFFFF); });

    // Function 07 is not the reader's: it answers with a 5-byte exception.
    window->edCommandSend->setText(QStringLiteral("07"));
    window->edCommandSendData->setText(QString());
    window->btnSendCommandRTU->click();
    EXPECT_EQ(status(), QStringLiteral("Command error!"));
    EXPECT_EQ(window->edCommandRecv->text(), QString());
    EXPECT_EQ(window->edCommandTran->text(), QStringLiteral("01 07 41 E2 "));
    expectIdle(kRed);
}

TEST_P(EndToEnd, CardLoopFollowsNewCardsAndFormatChangesUntilCancelled)
{
    sim->withReader([](sim::VirtualReader &r) {
        r.presentCard(QByteArray::fromHex("12345678"));
        r.typeKeys(QByteArray::fromHex("01020A04"));
    });
    int passesSeen = 0;
    // Once a pass is done and the loop runs: a new card, another format; after a further
    // pass, Cancel.
    whenReady([&] { return sim->requestCount() >= 2 && window->isEnabled(); },
              [&] {
                  sim->withReader([](sim::VirtualReader &r) { r.presentCard(QByteArray::fromHex("A1B2C3D4")); });
                  window->cmbFormat->setCurrentIndex(2); // 8H
                  window->chkLSB->setChecked(true);
                  const int requestsAtChange = sim->requestCount();
                  whenReady([&, requestsAtChange] { return sim->requestCount() >= requestsAtChange + 2; },
                            [&] {
                                passesSeen = sim->requestCount() / 2;
                                window->btnUID->click();
                            });
              });
    window->btnUID->click();
    EXPECT_GE(passesSeen, 2);
    EXPECT_EQ(window->pnUID->text(), QStringLiteral("D4C3B2A1 (H)"));
    EXPECT_EQ(window->pnKey->text(), QStringLiteral("1204"));
    EXPECT_EQ(status(), QStringLiteral("Command ok."));
    EXPECT_EQ(window->btnUID->text(), QStringLiteral("Read data"));
    EXPECT_EQ(window->link.closeCount(), 1);
    expectIdle(kYellow);
}

TEST_P(EndToEnd, ClearEmptiesBothBlocksOnTheReader)
{
    sim->withReader([](sim::VirtualReader &r) {
        r.presentCard(QByteArray::fromHex("12345678"));
        r.typeKeys(QByteArray::fromHex("0102"));
    });
    window->btnClearUID->click();
    EXPECT_EQ(status(), QStringLiteral("Command ok."));
    sim->withReader([](sim::VirtualReader &r) {
        EXPECT_EQ(r.registerValue(sim::reg::UidBlock), 0);
        EXPECT_EQ(r.registerValue(sim::reg::KeypadBlock), 0);
    });
    window->chkLoop->setChecked(false);
    window->btnUID->click();
    EXPECT_EQ(window->pnUID->text(), QStringLiteral("0000000000"));
    EXPECT_EQ(window->pnKey->text(), QString());
}

TEST_P(EndToEnd, OutputsAreSetAndReadBack)
{
    sim->withReader([](sim::VirtualReader &r) { r.setInputs(0x00A5); });
    window->edSetDo->setText(QStringLiteral("0F00"));
    window->btnSetDo->click();
    EXPECT_EQ(status(), QStringLiteral("Command ok."));
    window->btnReadDiDo->click();
    EXPECT_EQ(window->pnDiVal->text(), QStringLiteral("00A5"));
    EXPECT_EQ(window->pnDoVal->text(), QStringLiteral("0F00"));
    EXPECT_EQ(status(), QStringLiteral("Command ok."));
}

TEST_P(EndToEnd, NewAddressIsUsedFromThenOn)
{
    window->sbID->setValue(5);
    window->btnSetID->click();
    EXPECT_EQ(status(), QStringLiteral("Command ok."));
    sim->withReader([](sim::VirtualReader &r) { EXPECT_EQ(r.address(), 5); });
    EXPECT_EQ(window->sbSlave->value(), 5);
    window->btnReadDiDo->click();
    EXPECT_EQ(status(), QStringLiteral("Command ok."));
}

INSTANTIATE_TEST_SUITE_P(Link, EndToEnd, ::testing::Values(SimLink::Tcp, SimLink::Pty), transportName);

} // namespace
