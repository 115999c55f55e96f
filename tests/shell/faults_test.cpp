// Faults on the line and at the reader, through the real window against the virtual reader:
// every operation ends, says what happened, closes its link and gives the window back.
#include "support/scriptedlink.h"
#include "support/simwindowfixture.h"

#include <QElapsedTimer>
#include <QSerialPort>
#include <QTcpServer>

#include <sys/resource.h>

using namespace relvix;
using namespace relvix::testing;

namespace {

double processCpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

class Faults : public SimWindowTest {
protected:
    // The operation has ended as it should: this status, one close per open, window usable.
    void expectEnded(const char *text, int opens)
    {
        EXPECT_EQ(status(), QString::fromLatin1(text));
        EXPECT_EQ(window->link.openCount(), opens);
        EXPECT_EQ(window->link.closeCount(), opens);
        expectIdle(QString::fromLatin1(text) == QLatin1String("Command ok.") ? kYellow : kRed);
    }
};

TEST_P(Faults, ResponseInSinglePiecesWithGapsIsAccepted)
{
    sim::FaultScript f;
    f.chunkSize = 1;
    f.gapMs = 5;
    sim->setFaults(f);
    window->btnConnect->click();
    EXPECT_EQ(window->pnSN->text(), QStringLiteral("S/N : 0012ABCD"));
    expectEnded("Command ok.", 1);
}

TEST_P(Faults, NoiseBeforeTheFrameDefeatsTheReceiveRule)
{
    // Nothing but the CRC is tested, from offset 0 on: a byte in front of the frame shifts
    // every test point, so the response is never accepted.
    sim::FaultScript f;
    f.noiseBefore = QByteArray::fromHex("FF");
    sim->setFaults(f);
    window->btnReadDiDo->click();
    EXPECT_EQ(window->pnDiVal->text(), QStringLiteral("0000"));
    expectEnded("Command error!", 1);
}

TEST_P(Faults, JunkAfterAValidFrameIsLeftBehind)
{
    sim::FaultScript f;
    f.noiseAfter = QByteArray::fromHex("55AA55AA");
    sim->setFaults(f);
    sim->withReader([](sim::VirtualReader &r) { r.setInputs(0x1234); });
    window->btnReadDiDo->click();
    EXPECT_EQ(window->pnDiVal->text(), QStringLiteral("1234"));
    EXPECT_EQ(window->edRX->text().size(), 9 * 3);
    window->btnReadDiDo->click(); // the junk does not reach the next operation
    expectEnded("Command ok.", 2);
}

TEST_P(Faults, ACrcThatMatchesEarlyEndsTheResponseThere)
{
    // Serial number bytes 12 34 S2 S3 where S2 S3 is the CRC of 01 03 06 12 34: the identity
    // response then also reads as a valid 7-byte frame.
    const QByteArray head = frameWithCrc("01 03 06 12 34");
    const std::uint32_t serial = 0x12340000u | (std::uint8_t(head[5]) << 8) | std::uint8_t(head[6]);
    sim->withReader([serial](sim::VirtualReader &r) { r.setSerialNumber(serial); });
    window->edCommandSendData->setText(QStringLiteral("01070003"));
    window->btnSendCommandRTU->click();
    EXPECT_EQ(window->edCommandRecv->text(), QString::fromLatin1(head.toHex(' ').toUpper() + ' '));
    EXPECT_EQ(window->link.state.responseLength, 7);
    expectEnded("Command ok.", 1);

    // The connect asks for exactly 11 bytes, so it tests from 11 on and reads the whole.
    window->btnConnect->click();
    EXPECT_EQ(window->pnSN->text(), QString::asprintf("S/N : %08X", serial));
    expectEnded("Command ok.", 2);
}

TEST_P(Faults, ExceptionReplyIsNeverAccepted)
{
    sim::FaultScript f;
    f.exceptionCode = sim::exc::IllegalDataAddress;
    sim->setFaults(f);
    window->btnReadDiDo->click();
    EXPECT_EQ(window->pnDiVal->text(), QStringLiteral("0000"));
    expectEnded("Command error!", 1);
}

TEST_P(Faults, ReplyFromAnotherAddressIsAccepted)
{
    sim::FaultScript f;
    f.answerAsAddress = 9;
    sim->setFaults(f);
    sim->withReader([](sim::VirtualReader &r) { r.setInputs(0x00A5); });
    window->btnReadDiDo->click();
    EXPECT_EQ(window->pnDiVal->text(), QStringLiteral("00A5"));
    expectEnded("Command ok.", 1);
}

TEST_P(Faults, LateReplyIsNotTakenForTheNextAnswer)
{
    // The first address read is answered 1050 ms late, during the pause before the second
    // try; the second request must get its own answer.
    sim::FaultScript f;
    f.delayMs = 1050;
    f.faultyRequests = 1;
    sim->setFaults(f);
    StatusRecorder statuses(window->pnMsg);
    window->btnConnect->click();
    EXPECT_TRUE(statuses.texts.contains(QStringLiteral("Connecting device ... ( 4 )")));
    EXPECT_EQ(window->pnSN->text(), QStringLiteral("S/N : 0012ABCD"));
    expectEnded("Command ok.", 1);
}

TEST_P(Faults, PartialFrameThenSilenceTimesOut)
{
    sim::FaultScript f;
    f.truncateTo = 4;
    sim->setFaults(f);
    window->pnDoVal->setText(QStringLiteral("ABCD"));
    window->btnReadDiDo->click();
    EXPECT_EQ(window->pnDoVal->text(), QStringLiteral("ABCD"));
    EXPECT_EQ(window->link.state.responseLength, 4);
    expectEnded("Command error!", 1);
}

TEST_P(Faults, EndlessByteStreamEndsTheExchange)
{
    sim::FaultScript f;
    f.silent = true;
    f.endless = true;
    sim->setFaults(f);
    QElapsedTimer t;
    t.start();
    window->btnSendCommandRTU->click();
    // TCP: the 1000 ms deadline; serial: twice the time-out plus a buffer's wire time.
    EXPECT_LT(t.elapsed(), 15000);
    expectEnded("Command error!", 1);
}

TEST_P(Faults, PeerClosingMidResponse)
{
    sim::FaultScript f;
    f.closeAfterBytes = 3;
    f.faultyRequests = 1;
    sim->setFaults(f);
    const double cpu0 = processCpuSeconds();
    window->btnReadDiDo->click();
    EXPECT_LT(processCpuSeconds() - cpu0, 0.9) << "waiting on a closed peer must not spin";
    expectEnded("Command error!", 1);
    window->btnReadDiDo->click();
    if (tcp()) {
        expectEnded("Command ok.", 2); // the next connection is a new one
    } else {
        // The reader's side of the line is gone for good.
        EXPECT_EQ(status(), QStringLiteral("Connect device error!"));
    }
}

TEST_P(Faults, LoopSurvivesTheReaderGoingAway)
{
    sim->withReader([](sim::VirtualReader &r) { r.presentCard(QByteArray::fromHex("01020304")); });
    double cpuAfterLoss = -1;
    whenReady([&] { return sim->requestCount() >= 2 && window->isEnabled(); },
              [&] {
                  if (tcp())
                      sim.reset(); // listener and connection gone
                  else
                      sim->closePty();
                  const double cpu0 = processCpuSeconds();
                  QElapsedTimer t;
                  t.start();
                  QTimer::singleShot(2500, [&, cpu0, t] {
                      cpuAfterLoss = (processCpuSeconds() - cpu0) / (t.elapsed() / 1000.0);
                      window->btnUID->click(); // cancel still works
                  });
              });
    window->btnUID->click();
    EXPECT_GE(cpuAfterLoss, 0.0);
    EXPECT_LT(cpuAfterLoss, 0.6) << "share of a core used while the reader is gone";
    EXPECT_EQ(window->pnUID->text(), QStringLiteral("0016909060"));
    expectEnded("Command ok.", 1);

    window->btnReadDiDo->click();
    EXPECT_EQ(status(), QStringLiteral("Connect device error!"));
    EXPECT_EQ(window->link.closeCount(), 1);
    EXPECT_TRUE(window->isEnabled());
}

INSTANTIATE_TEST_SUITE_P(Link, Faults, ::testing::Values(SimLink::Tcp, SimLink::Pty), transportName);

class LinkRefused : public WindowTest {};

TEST_F(LinkRefused, ConnectionRefusedFailsQuickly)
{
    makeWindow();
    quint16 freePort = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
        freePort = probe.serverPort();
    }
    window->pcPort->setCurrentWidget(window->tsNet);
    window->edIP->setText(QStringLiteral("127.0.0.1"));
    window->edPort->setText(QString::number(freePort));
    QElapsedTimer t;
    t.start();
    window->btnConnect->click();
    EXPECT_LT(t.elapsed(), 3000);
    EXPECT_EQ(window->pnMsg->text(), QStringLiteral("Connect device error!"));
    EXPECT_EQ(window->link.closeCount(), 0);
    expectIdle(kRed);
}

TEST_F(LinkRefused, PortHeldByAnotherProgram)
{
    makeWindow();
    sim::SimServer sim;
    const QString path = sim.openPty();
    ASSERT_FALSE(path.isEmpty());
    QSerialPort holder(path);
    ASSERT_TRUE(holder.open(QIODevice::ReadWrite));
    window->pcPort->setCurrentWidget(window->tsCom);
    window->cmbPort->setEditText(path);
    window->btnReadDiDo->click();
    EXPECT_EQ(window->pnMsg->text(), QStringLiteral("Connect device error!"));
    holder.close();
    window->btnReadDiDo->click();
    EXPECT_EQ(window->pnMsg->text(), QStringLiteral("Command ok."));
}

TEST_F(LinkRefused, UnusablePeerTextsNeverConnect)
{
    makeWindow();
    window->pcPort->setCurrentWidget(window->tsNet);
    for (const char *address : {"", "not an address", "127.0.0.1x"}) {
        window->edIP->setText(QString::fromLatin1(address));
        window->edPort->setText(QStringLiteral("4001"));
        window->btnReadDiDo->click();
        EXPECT_EQ(window->pnMsg->text(), QStringLiteral("Connect device error!")) << address;
    }
    window->edIP->setText(QStringLiteral("127.0.0.1"));
    for (const char *port : {"", "abc", "0", "65536"}) {
        window->edPort->setText(QString::fromLatin1(port));
        window->btnReadDiDo->click();
        EXPECT_EQ(window->pnMsg->text(), QStringLiteral("Connect device error!")) << port;
    }
}

} // namespace
