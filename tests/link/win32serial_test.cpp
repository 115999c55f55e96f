// The Win32 serial backend on a real COM port: under Wine, COMn of the test's prefix is a
// pseudo-terminal of the build machine, and the Linux virtual reader answers on its other
// end (scripts/windows-test sets this up and names the port in RELVIX_TEST_COM_PORT). The
// reader there listens only at 9600 baud, so a read proves the line speed got through.
#include "link/readerlink.h"
#include "reader/cardreader.h"
#include "support/platform.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <gtest/gtest.h>
#include <iostream>

using namespace relvix;

namespace {

class Host : public ExchangeHost {
public:
    void processMessages() override { QCoreApplication::processEvents(); }
};

class Win32Serial : public ::testing::Test {
protected:
    void SetUp() override
    {
        port = qEnvironmentVariable("RELVIX_TEST_COM_PORT");
        if (port.isEmpty())
            GTEST_SKIP() << "no COM port with a reader behind it (scripts/windows-test maps one)";
    }

    // Opens the port in this mode and reads the reader's identity at address 1.
    std::optional<Identity> identify(const QString &mode)
    {
        ReaderLink link(host);
        link.state.transport = Transport::Serial;
        link.state.portName = port;
        link.state.serialMode = mode;
        if (!link.OpenLink()) {
            ADD_FAILURE() << "open " << port.toStdString() << ": " << link.openFailure().systemText.toStdString();
            return std::nullopt;
        }
        CardReader reader(link);
        auto identity = reader.readIdentity(1);
        link.CloseLink();
        return identity;
    }

    QString port;
    Host host;
};

} // namespace

TEST_F(Win32Serial, TheReaderAnswersAtItsSpeedAndNotAtAnother)
{
    for (int round = 0; round < 3; ++round) { // opened and closed again, as the window does
        const auto identity = identify(QStringLiteral("9600,e,8,1"));
        ASSERT_TRUE(identity) << "round " << round;
        EXPECT_EQ(identity->serialNumber, 0x0012ABCDu);
        EXPECT_EQ(identity->version, 0x1A05);
    }
    EXPECT_FALSE(identify(QStringLiteral("19200,e,8,1"))) << "the speed never reached the line";
    EXPECT_TRUE(identify(QStringLiteral("9600,n,8,2")));
}

TEST_F(Win32Serial, TheOpenPortReportsItsSpeedAndAWaitOfAboutAMillisecond)
{
    auto io = systemLinkOpener().openSerial(port, QStringLiteral("9600,e,8,1"));
    ASSERT_NE(io, nullptr) << systemLinkOpener().lastOpenFailure().systemText.toStdString();
    EXPECT_EQ(io->baudRate(), 9600);
    QElapsedTimer t;
    t.start();
    std::uint8_t byte = 0;
    int turns = 0;
    while (t.elapsed() < 200) {
        EXPECT_EQ(io->readByte(byte), SerialIo::Read::Nothing);
        ++turns;
    }
    // Nothing comes on a quiet line: each turn waits (never spins), none blocks for long.
    EXPECT_GE(turns, 10);
    EXPECT_LE(turns, 400);
    EXPECT_TRUE(io->lostReason().isEmpty());
}

TEST_F(Win32Serial, OpenFailuresSayWhy)
{
    LinkOpener &opener = systemLinkOpener();
    EXPECT_EQ(opener.openSerial(QStringLiteral("COM231"), QStringLiteral("9600,e,8,1")), nullptr);
    EXPECT_EQ(opener.lastOpenFailure().kind, OpenFailure::Kind::NoSuchDevice)
        << opener.lastOpenFailure().systemText.toStdString();
    EXPECT_FALSE(opener.lastOpenFailure().systemText.isEmpty());

    EXPECT_EQ(opener.openSerial(relvix::testing::kNullDevice, QStringLiteral("9600,e,8,1")), nullptr);
    EXPECT_EQ(opener.lastOpenFailure().kind, OpenFailure::Kind::NotSerialPort)
        << opener.lastOpenFailure().systemText.toStdString();

    auto held = opener.openSerial(port, QStringLiteral("9600,e,8,1"));
    ASSERT_NE(held, nullptr);
    if (relvix::testing::underWine())
        GTEST_SKIP() << "Wine does not keep a COM port to the one program that opened it";
    EXPECT_EQ(opener.openSerial(port, QStringLiteral("9600,e,8,1")), nullptr) << "opened twice";
    EXPECT_EQ(opener.lastOpenFailure().kind, OpenFailure::Kind::InUse)
        << opener.lastOpenFailure().systemText.toStdString();
}

// Last: the reader's end of the line is closed (a command to the virtual reader through the
// file it reads its commands from), and the port fails for good with the system's reason.
TEST_F(Win32Serial, ALineThatGoesDeadIsALostLink)
{
    const QString control = qEnvironmentVariable("RELVIX_TEST_SIM_CONTROL");
    if (control.isEmpty())
        GTEST_SKIP() << "no way to close the reader's end (RELVIX_TEST_SIM_CONTROL)";
    auto io = systemLinkOpener().openSerial(port, QStringLiteral("9600,e,8,1"));
    ASSERT_NE(io, nullptr);
    QFile commands(control);
    ASSERT_TRUE(commands.open(QIODevice::Append))
        << control.toStdString() << ": " << commands.errorString().toStdString();
    commands.write("close-pty\n");
    commands.close();

    QElapsedTimer t;
    t.start();
    std::uint8_t byte = 0;
    SerialIo::Read read = SerialIo::Read::Nothing;
    // A real port fails at its next read; Wine's may never (see below).
    const int waitMs = relvix::testing::underWine() ? 5000 : 20000;
    while (t.elapsed() < waitMs && (read = io->readByte(byte)) != SerialIo::Read::Failed)
        ;
    // Whatever the driver makes of it, a turn on the dead line still waits: no spin.
    QElapsedTimer turn;
    turn.start();
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(io->readByte(byte), read);
    EXPECT_GE(turn.elapsed(), 10);
    if (read != SerialIo::Read::Failed && relvix::testing::underWine())
        GTEST_SKIP() << "Wine reads a pseudo-terminal whose other end closed as a quiet line, not as a failure";
    EXPECT_EQ(read, SerialIo::Read::Failed);
    EXPECT_FALSE(io->lostReason().isEmpty());
    std::cout << "lost: " << io->lostReason().toStdString() << "\n";
}
