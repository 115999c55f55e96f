// The reader as a device, with no window and no display: every request against the
// virtual reader over TCP and a pseudo-terminal, and every kind of read or write against
// a failed and a wrong-length response.
#include "reader/cardreader.h"
#include "simserver.h"
#include "support/platform.h"
#include "support/scriptedlink.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <functional>

using namespace relvix;
using namespace relvix::testing;

namespace {

struct Host : ExchangeHost, FrameObserver {
    void processMessages() override { QCoreApplication::processEvents(); }
    void frameEvent(const FrameEvent &e) override
    {
        if (e.kind == FrameEvent::Kind::Request)
            sent.append(e.bytes.toHex(' ').toUpper());
    }
    QStringList sent;
};

class DeviceOnSim : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        link.addObserver(&host);
        sim.withReader([](sim::VirtualReader &r) {
            r.setSerialNumber(0x0012ABCD);
            r.setVersion(0x1A05);
            r.setInputs(0x00A5);
            r.setOutputs(0x0F00);
            r.presentCard(QByteArray::fromHex("12345678"));
            r.typeKeys(QByteArray::fromHex("01020A04"));
        });
        if (GetParam()) {
            link.state.transport = Transport::Tcp;
            link.state.peerAddress = QStringLiteral("127.0.0.1");
            link.state.peerPort = QString::number(sim.listenTcp());
        } else {
            RELVIX_SKIP_WITHOUT_PTY();
            link.state.transport = Transport::Serial;
            link.state.portName = sim.openPty();
            link.state.serialMode = QStringLiteral("19200,e,8,1");
        }
        ASSERT_TRUE(link.OpenLink());
    }

    sim::SimServer sim;
    Host host;
    ReaderLink link{host};
    CardReader reader{link};
};

} // namespace

TEST_P(DeviceOnSim, EveryRequestGoesOutAsDocumentedAndDecodes)
{
    EXPECT_EQ(reader.readAddress(1), std::optional<std::uint8_t>(1));
    const auto identity = reader.readIdentity(1);
    ASSERT_TRUE(identity);
    EXPECT_EQ(identity->serialNumber, 0x0012ABCDu);
    EXPECT_EQ(identity->version, 0x1A05);
    EXPECT_EQ(reader.readCardBlock(1), (DataBlock{0x12, 0x34, 0x56, 0x78}));
    EXPECT_EQ(reader.readKeypadBlock(1), (DataBlock{0x01, 0x02, 0x0A, 0x04}));
    const auto io = reader.readIo(1);
    ASSERT_TRUE(io);
    EXPECT_EQ(io->inputs, 0x00A5);
    EXPECT_EQ(io->outputs, 0x0F00);
    EXPECT_TRUE(reader.writeOutputs(1, 0xFFFF));
    sim.withReader([](sim::VirtualReader &r) { EXPECT_EQ(r.outputs(), 0xFFFF); });
    EXPECT_TRUE(reader.clearCardBlock(1));
    EXPECT_TRUE(reader.clearKeypadBlock(1));
    EXPECT_TRUE(reader.reboot(1));
    EXPECT_TRUE(reader.factoryReset(1));
    EXPECT_TRUE(reader.writeAddress(1, 5)); // answered at the old address
    EXPECT_EQ(reader.readAddress(5), std::optional<std::uint8_t>(5));
    EXPECT_TRUE(reader.rawRequest(5, 0x03, QByteArray::fromHex("01100001")));
    EXPECT_EQ(reader.response().toHex(' ').toUpper(), "05 03 02 00 A5 89 FF");

    EXPECT_EQ(host.sent, (QStringList{
                             "01 03 01 00 00 01 85 F6",
                             "01 03 01 07 00 03 B5 F6",
                             "01 03 01 12 00 08 E5 F5",
                             "01 03 01 1B 00 08 35 F7",
                             "01 03 01 10 00 02 C4 32",
                             "01 06 01 11 FF FF D9 83",
                             "01 06 01 12 00 01 E9 F3",
                             "01 06 01 1B 00 01 39 F1",
                             "01 06 01 0A 00 01 69 F4",
                             "01 06 01 0A 00 02 29 F5",
                             "01 06 01 00 00 05 48 35",
                             "05 03 01 00 00 01 84 72",
                             "05 03 01 10 00 01 85 B7",
                         }));
    sim.withReader([](sim::VirtualReader &r) {
        EXPECT_EQ(r.uidBytes(), QByteArray(16, '\0'));
        EXPECT_EQ(r.keyBytes(), QByteArray(16, '\0'));
        EXPECT_EQ(r.rebootCount(), 1);
        EXPECT_EQ(r.factoryResetCount(), 1);
        EXPECT_EQ(r.address(), 5);
    });

    // The old address is silent now, and an exception reply (5 bytes) is never accepted.
    link.setReceiveTimeoutMs(200);
    EXPECT_EQ(reader.readAddress(1), std::nullopt);
    EXPECT_FALSE(reader.rawRequest(5, 0x07, {}));
    EXPECT_EQ(reader.response().size(), 5);
    EXPECT_EQ(std::uint8_t(reader.response()[1]), 0x87);
    // Nothing of a window was ever needed.
    EXPECT_FALSE(QCoreApplication::instance()->inherits("QGuiApplication"));
}

INSTANTIATE_TEST_SUITE_P(Link, DeviceOnSim, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool> &info) { return info.param ? "Tcp" : "Pty"; });

// Each method against silence and against a CRC-valid response of another length.
TEST(DeviceResponses, SilenceAndWrongLengthsGiveNoValue)
{
    struct Host : ExchangeHost {
        void processMessages() override {}
    } host;
    ManualClock clock;
    ScriptedLinkOpener opener{clock};
    ReaderLink link{host, clock, opener};
    CardReader reader{link};
    link.state.transport = Transport::Tcp;
    ASSERT_TRUE(link.OpenLink());

    // Each request meets silence, then a CRC-valid answer one register longer (or, for a
    // write, an echo cut to 7 bytes).
    const QByteArray address9 = frameWithCrc("01 03 04 00 01 00 02");
    const QByteArray identity13 = frameWithCrc("01 03 08 00 12 AB CD 1A 05 00 00");
    const QByteArray block23 = frameWithCrc("01 03 12 12 34 56 78 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
    const QByteArray io11 = frameWithCrc("01 03 06 00 A5 0F 00 00 00");
    const QByteArray echo7 = frameWithCrc("01 06 01 11 FF");
    const struct {
        const char *name;
        QByteArray wrongLength;
        std::function<bool()> request;
    } requests[] = {
        {"address", address9, [&] { return reader.readAddress(1).has_value(); }},
        {"identity", identity13, [&] { return reader.readIdentity(1).has_value(); }},
        {"card", block23, [&] { return reader.readCardBlock(1).has_value(); }},
        {"keypad", block23, [&] { return reader.readKeypadBlock(1).has_value(); }},
        {"io", io11, [&] { return reader.readIo(1).has_value(); }},
        {"outputs", echo7, [&] { return reader.writeOutputs(1, 0xFFFF); }},
        {"address write", echo7, [&] { return reader.writeAddress(1, 9); }},
        {"reboot", echo7, [&] { return reader.reboot(1); }},
        {"factory", echo7, [&] { return reader.factoryReset(1); }},
        {"clear card", echo7, [&] { return reader.clearCardBlock(1); }},
        {"clear keypad", echo7, [&] { return reader.clearKeypadBlock(1); }},
    };
    for (const auto &r : requests) {
        opener.replies = {QByteArray(), r.wrongLength};
        EXPECT_FALSE(r.request()) << r.name << " answered by silence";
        EXPECT_FALSE(r.request()) << r.name << " answered by " << r.wrongLength.toHex(' ').constData();
    }
    EXPECT_EQ(opener.sent.size(), 2 * int(std::size(requests)));
    // A raw request takes any CRC-valid answer of at least 7 bytes.
    opener.replies = {address9};
    EXPECT_TRUE(reader.rawRequest(1, 0x03, QByteArray::fromHex("01000002")));
    EXPECT_EQ(reader.response(), address9);
}
