// Several readers on one line: each answers its own address, over TCP at any speed and over
// the pseudo-terminal only at its own speed, as the tool's QSerialPort sets it.
#include "simserver.h"
#include "support/simtestutil.h"

#include <QElapsedTimer>
#include <QSerialPort>
#include <gtest/gtest.h>

using namespace relvix::sim;
using simtest::frame;
using simtest::request;
using simtest::spaced;
using simtest::TcpClient;

namespace {

// Readers at 1 (the default one), 5 and 7; the one at 7 hears 9600 baud only.
void makeBus(SimServer &server)
{
    server.withReader([](VirtualReader &r) { r.setSerialNumber(0x00000001); });
    server.addReader([](VirtualReader &r) {
        r.setAddress(5);
        r.setSerialNumber(0x00000005);
        r.setVersion(0x0500);
    });
    server.addReader([](VirtualReader &r) {
        r.setAddress(7);
        r.setSerialNumber(0x00000007);
        r.setVersion(0x0700);
        r.setLineSpeed(9600);
    });
}

// Serial number and version of the reader at this address: 11 bytes, or nothing.
QByteArray identity(int address)
{
    return request(address, 3, 0x0107, 3);
}

// One exchange through QSerialPort at this speed, opened and closed as the tool does.
QByteArray serialExchange(const QString &path, int baud, const QByteArray &bytes, int n, int ms)
{
    QSerialPort port(path);
    port.setBaudRate(baud);
    port.setParity(QSerialPort::EvenParity);
    if (!port.open(QIODevice::ReadWrite))
        return QByteArray("open failed: ") + port.errorString().toLatin1();
    port.clear();
    port.write(bytes);
    port.waitForBytesWritten(5000);
    QByteArray got;
    QElapsedTimer clock;
    clock.start();
    while (got.size() < n && clock.elapsed() < ms) {
        if (port.waitForReadyRead(50))
            got += port.readAll();
    }
    return got;
}

} // namespace

TEST(SimBus, EachReaderAnswersItsOwnAddressOverTcp)
{
    SimServer server;
    makeBus(server);
    ASSERT_NE(server.listenTcp(), 0);
    TcpClient client;
    ASSERT_TRUE(client.connectTo(server.tcpPort()));
    const struct {
        int address;
        QByteArray answer; // empty: nobody there
    } rows[] = {
        {1, frame("01 03 06 00 00 00 01 1A 05")},
        {5, frame("05 03 06 00 00 00 05 05 00")},
        {7, frame("07 03 06 00 00 00 07 07 00")}, // TCP has no speed: its 9600 does not matter
        {2, {}},
    };
    for (const auto &row : rows) {
        client.send(identity(row.address));
        const QByteArray got = row.answer.isEmpty() ? client.readFor(300) : client.read(11);
        EXPECT_EQ(spaced(got), spaced(row.answer)) << row.address;
    }
    // A write reaches only its reader; a broadcast reaches them all and nobody answers.
    EXPECT_EQ(spaced(client.exchange(request(5, 6, 0x0111, 0x1234), 8)), spaced(request(5, 6, 0x0111, 0x1234)));
    std::uint16_t outputs[3] = {};
    for (int i = 0; i < 3; ++i)
        server.withReader(i, [&](VirtualReader &r) { outputs[i] = r.outputs(); });
    EXPECT_EQ(outputs[0], 0);
    EXPECT_EQ(outputs[1], 0x1234);
    client.send(request(0, 6, 0x0111, 0x00FF));
    EXPECT_TRUE(client.readFor(300).isEmpty());
    for (int i = 0; i < 3; ++i)
        server.withReader(i, [&](VirtualReader &r) { outputs[i] = r.outputs(); });
    EXPECT_EQ(outputs[0], 0x00FF);
    EXPECT_EQ(outputs[1], 0x00FF);
    EXPECT_EQ(outputs[2], 0x00FF);

    // withReaderAt finds a reader by address, also after its address changed by a request.
    EXPECT_EQ(spaced(client.exchange(request(5, 6, 0x0100, 9), 8)), spaced(request(5, 6, 0x0100, 9)));
    quint32 serial = 0;
    EXPECT_TRUE(server.withReaderAt(9, [&](VirtualReader &r) { serial = r.serialNumber(); }));
    EXPECT_EQ(serial, 5u);
    EXPECT_FALSE(server.withReaderAt(5, [](VirtualReader &) {}));
    EXPECT_EQ(server.readerAddresses(), (QList<std::uint8_t>{1, 9, 7}));
}

TEST(SimBus, AReaderWithASpeedAnswersOnlyAtItOnThePty)
{
    SimServer server;
    makeBus(server);
    const QString path = server.openPty();
    ASSERT_FALSE(path.isEmpty());
    const QByteArray atSeven = frame("07 03 06 00 00 00 07 07 00");
    const QByteArray atOne = frame("01 03 06 00 00 00 01 1A 05");

    EXPECT_TRUE(serialExchange(path, 19200, identity(7), 11, 300).isEmpty());
    EXPECT_EQ(server.log().filter(QStringLiteral("SPEED address 7 hears 9600 baud, the line is at 19200")).size(), 1);
    EXPECT_EQ(spaced(serialExchange(path, 9600, identity(7), 11, 5000)), spaced(atSeven));
    EXPECT_TRUE(serialExchange(path, 19200, identity(7), 11, 300).isEmpty()); // and silent again
    // The reader without a speed answers at both.
    EXPECT_EQ(spaced(serialExchange(path, 19200, identity(1), 11, 5000)), spaced(atOne));
    EXPECT_EQ(spaced(serialExchange(path, 9600, identity(1), 11, 5000)), spaced(atOne));
}
