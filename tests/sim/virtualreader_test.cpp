// The register map and the request handler, frame by frame.
#include "support/simtestutil.h"
#include "virtualreader.h"

#include <gtest/gtest.h>

using namespace relvix::sim;
using simtest::frame;
using simtest::hex;
using simtest::spaced;

namespace {

// A reader in a known state: the values the vectors below read back.
VirtualReader preparedReader()
{
    VirtualReader r;
    r.setAddress(1);
    r.setSerialNumber(0x0012ABCD);
    r.setVersion(0x1A05);
    r.setInputs(0x00A5);
    r.setRegister(reg::Outputs, 0x0F00);
    r.presentCard(hex("04 A1 B2 C3 D4 E5 F6"));
    r.typeKeys(hex("01 02 0A 04"));
    return r;
}

struct Vector {
    const char *name;
    QByteArray request;
    QByteArray response; // empty: the reader stays silent
};

void PrintTo(const Vector &v, std::ostream *os)
{
    *os << v.name;
}

class RequestVectors : public ::testing::TestWithParam<Vector> {};

TEST_P(RequestVectors, AnswersAsExpected)
{
    VirtualReader r = preparedReader();
    const Vector &v = GetParam();
    EXPECT_EQ(spaced(r.handleRequest(v.request)), spaced(v.response)) << v.name;
}

// Expected CRCs come from the reference CRC of the test helpers; where a frame is written out
// in full, its CRC bytes were worked out by hand from the same polynomial.
const Vector kVectors[] = {
    // function 03, address, 1 register: 01 03 | start 0100 | count 0001 | CRC F6 85
    {"read address", hex("01 03 01 00 00 01 85 F6"), hex("01 03 02 00 01 79 84")},
    // serial number 0012ABCD and version 1A05 in one read of 3 registers
    {"read identity", hex("01 03 01 07 00 03 B5 F6"), frame("01 03 06 00 12 AB CD 1A 05")},
    {"read serial high only", frame("01 03 01 07 00 01"), frame("01 03 02 00 12")},
    {"read inputs and outputs", hex("01 03 01 10 00 02 C4 32"), frame("01 03 04 00 A5 0F 00")},
    {"read outputs only", frame("01 03 01 11 00 01"), frame("01 03 02 0F 00")},
    {"read card UID block", hex("01 03 01 12 00 08 E5 F5"),
     frame("01 03 10 04 A1 B2 C3 D4 E5 F6 00 00 00 00 00 00 00 00 00")},
    {"read keypad block", hex("01 03 01 1B 00 08 35 F7"),
     frame("01 03 10 01 02 0A 04 00 00 00 00 00 00 00 00 00 00 00 00")},
    {"read inside a block", frame("01 03 01 13 00 02"), frame("01 03 04 B2 C3 D4 E5")},
    {"maintenance register reads 0", frame("01 03 01 0A 00 01"), frame("01 03 02 00 00")},
    {"serial, version, maintenance", frame("01 03 01 07 00 04"), frame("01 03 08 00 12 AB CD 1A 05 00 00")},
    {"inputs through UID block", frame("01 03 01 10 00 0A"),
     frame("01 03 14 00 A5 0F 00 04 A1 B2 C3 D4 E5 F6 00 00 00 00 00 00 00 00 00")},

    // function 06 answers with the 8-byte echo
    {"write address 5", hex("01 06 01 00 00 05 48 35"), hex("01 06 01 00 00 05 48 35")},
    {"write address 254", hex("01 06 01 00 00 FE 09 B6"), hex("01 06 01 00 00 FE 09 B6")},
    {"reboot", hex("01 06 01 0A 00 01 69 F4"), hex("01 06 01 0A 00 01 69 F4")},
    {"factory settings", hex("01 06 01 0A 00 02 29 F5"), hex("01 06 01 0A 00 02 29 F5")},
    {"write outputs FFFF", hex("01 06 01 11 FF FF D9 83"), hex("01 06 01 11 FF FF D9 83")},
    {"clear UID block", hex("01 06 01 12 00 01 E9 F3"), hex("01 06 01 12 00 01 E9 F3")},
    {"clear keypad block", hex("01 06 01 1B 00 01 39 F1"), hex("01 06 01 1B 00 01 39 F1")},

    // exception 01: address, function | 0x80, 01, CRC
    {"function 04", frame("01 04 01 00 00 01"), frame("01 84 01")},
    {"function 10", frame("01 10 01 11 00 01 02 00 00"), frame("01 90 01")},
    {"function 00, no data", frame("01 00"), frame("01 80 01")},
    {"function 01", frame("01 01 00 00 00 08"), frame("01 81 01")},
    {"function 81", frame("01 81"), frame("01 81 01")}, // a function code of an exception reply is still just unknown

    // exception 02: registers outside the implemented ones
    {"read 0101", frame("01 03 01 01 00 01"), frame("01 83 02")},
    {"read across the gap 0101..0106", frame("01 03 01 00 00 02"), frame("01 83 02")},
    {"read 0000", frame("01 03 00 00 00 01"), frame("01 83 02")},
    {"read 011A between the blocks", frame("01 03 01 1A 00 01"), frame("01 83 02")},
    {"read past the keypad block", frame("01 03 01 1B 00 09"), frame("01 83 02")},
    {"read 0200", frame("01 03 02 00 00 01"), frame("01 83 02")},
    {"read FFFF wraps nowhere", frame("01 03 FF FF 00 02"), frame("01 83 02")},
    {"write serial number", frame("01 06 01 07 12 34"), frame("01 86 02")},
    {"write version", frame("01 06 01 09 00 01"), frame("01 86 02")},
    {"write inputs", frame("01 06 01 10 00 01"), frame("01 86 02")},
    {"write second UID register", frame("01 06 01 13 00 01"), frame("01 86 02")},
    {"write unmapped 0150", frame("01 06 01 50 00 01"), frame("01 86 02")},

    // exception 03: bad counts, values and lengths
    {"read count 0", frame("01 03 01 00 00 00"), frame("01 83 03")},
    {"read count 126", frame("01 03 01 00 00 7E"), frame("01 83 03")},
    {"read count FFFF", frame("01 03 01 00 FF FF"), frame("01 83 03")},
    {"read without count", frame("01 03 01 00"), frame("01 83 03")},
    {"read with an extra byte", frame("01 03 01 00 00 01 00"), frame("01 83 03")},
    {"write address 0", frame("01 06 01 00 00 00"), frame("01 86 03")},
    {"write address 255", frame("01 06 01 00 00 FF"), frame("01 86 03")},
    {"write address 0105", frame("01 06 01 00 01 05"), frame("01 86 03")},
    {"maintenance 0", frame("01 06 01 0A 00 00"), frame("01 86 03")},
    {"maintenance 3", frame("01 06 01 0A 00 03"), frame("01 86 03")},
    {"clear UID with 2", frame("01 06 01 12 00 02"), frame("01 86 03")},
    {"clear keypad with 0", frame("01 06 01 1B 00 00"), frame("01 86 03")},
    {"short write (three data bytes)", frame("01 06 01 11 FF"), frame("01 86 03")},
    {"write with no data", frame("01 06"), frame("01 86 03")},

    // silence
    {"other address", frame("02 03 01 00 00 01"), {}},
    {"address 255", frame("FF 03 01 00 00 01"), {}},
    {"bad CRC", hex("01 03 01 00 00 01 85 F7"), {}},
    {"CRC bytes swapped", hex("01 03 01 00 00 01 F6 85"), {}},
    {"three bytes", hex("01 03 01"), {}},
    {"empty", QByteArray(), {}},
    {"broadcast read", frame("00 03 01 00 00 01"), {}},
    {"broadcast write", frame("00 06 01 11 12 34"), {}},
    {"broadcast bad function", frame("00 04 01 00 00 01"), {}},
};

INSTANTIATE_TEST_SUITE_P(Vectors, RequestVectors, ::testing::ValuesIn(kVectors));

} // namespace

TEST(ReferenceCrc, CheckValue)
{
    // The catalogue check value of CRC-16/MODBUS over the ASCII digits 1..9.
    EXPECT_EQ(simtest::referenceCrc("123456789"), 0x4B37);
    EXPECT_EQ(spaced(frame("01 03 01 00 00 01")), QStringLiteral("01 03 01 00 00 01 85 F6"));
}

TEST(Crc, MatchesReference)
{
    EXPECT_EQ(crc16("123456789"), 0x4B37);
    EXPECT_EQ(crc16(QByteArray()), 0xFFFF);
    for (int n = 0; n < 300; ++n) {
        QByteArray bytes;
        for (int i = 0; i < n; ++i)
            bytes.append(static_cast<char>((i * 37 + n * 11) & 0xFF));
        ASSERT_EQ(crc16(bytes), simtest::referenceCrc(bytes)) << n;
        std::uint16_t stepped = 0xFFFF;
        for (char c : bytes)
            stepped = crc16Step(stepped, static_cast<std::uint8_t>(c));
        ASSERT_EQ(stepped, simtest::referenceCrc(bytes)) << n;
        ASSERT_EQ(spaced(withCrc(bytes)), spaced(simtest::appendCrc(bytes)));
        ASSERT_TRUE(hasValidCrc(simtest::appendCrc(bytes)) || bytes.size() < 2);
    }
    EXPECT_FALSE(hasValidCrc(hex("FF FF 01")));
    EXPECT_EQ(spaced(exceptionResponse(7, 0x03, 2)), spaced(frame("07 83 02")));
    EXPECT_EQ(hexString(hex("01 0a ff")), QStringLiteral("01 0A FF"));
}

TEST(VirtualReader, Defaults)
{
    VirtualReader r;
    EXPECT_EQ(r.address(), 1);
    EXPECT_EQ(r.registerValue(reg::Address), 1);
    EXPECT_EQ(r.outputs(), 0);
    EXPECT_EQ(r.inputs(), 0);
    EXPECT_EQ(r.uidBytes(), QByteArray(16, '\0'));
    EXPECT_EQ(r.keyBytes(), QByteArray(16, '\0'));
    EXPECT_EQ(r.rebootCount(), 0);
    EXPECT_EQ(r.factoryResetCount(), 0);
}

TEST(VirtualReader, AddressChangeTakesEffectAfterTheAnswer)
{
    VirtualReader r;
    // The echo still comes from address 1 ...
    EXPECT_EQ(spaced(r.handleRequest(hex("01 06 01 00 00 05 48 35"))), QStringLiteral("01 06 01 00 00 05 48 35"));
    EXPECT_EQ(r.address(), 5);
    // ... and from then on address 1 is someone else.
    EXPECT_TRUE(r.handleRequest(hex("01 03 01 00 00 01 85 F6")).isEmpty());
    EXPECT_EQ(spaced(r.handleRequest(simtest::request(5, 3, 0x0100, 1))), spaced(frame("05 03 02 00 05")));
}

TEST(VirtualReader, BroadcastActsWithoutAnswer)
{
    VirtualReader r;
    EXPECT_TRUE(r.handleRequest(frame("00 06 01 11 12 34")).isEmpty());
    EXPECT_EQ(r.outputs(), 0x1234);
    EXPECT_TRUE(r.handleRequest(frame("00 06 01 00 00 09")).isEmpty());
    EXPECT_EQ(r.address(), 9);
}

TEST(VirtualReader, HighByteOfTheAddressRegisterIsIgnored)
{
    VirtualReader r;
    r.setRegister(reg::Address, 0x0105);
    EXPECT_EQ(r.address(), 5);
    EXPECT_EQ(spaced(r.handleRequest(simtest::request(5, 3, 0x0100, 1))), spaced(frame("05 03 02 01 05")));
}

TEST(VirtualReader, BlockClearsAreSeparate)
{
    VirtualReader r = preparedReader();
    r.handleRequest(hex("01 06 01 12 00 01 E9 F3"));
    EXPECT_EQ(r.uidBytes(), QByteArray(16, '\0'));
    EXPECT_EQ(r.keyBytes().left(4), hex("01 02 0A 04"));
    r.handleRequest(hex("01 06 01 1B 00 01 39 F1"));
    EXPECT_EQ(r.keyBytes(), QByteArray(16, '\0'));
    // A refused clear leaves the block as it was.
    r.presentCard(hex("11 22"));
    r.handleRequest(frame("01 06 01 12 00 02"));
    EXPECT_EQ(r.uidBytes().left(3), hex("11 22 00"));
}

TEST(VirtualReader, RebootAndFactorySettings)
{
    VirtualReader r = preparedReader();
    r.setAddress(7);
    r.handleRequest(simtest::request(7, 6, 0x010A, 1));
    EXPECT_EQ(r.rebootCount(), 1);
    EXPECT_EQ(r.address(), 7);
    EXPECT_EQ(r.outputs(), 0x0F00);

    const QByteArray factory = simtest::request(7, 6, 0x010A, 2);
    EXPECT_EQ(spaced(r.handleRequest(factory)), spaced(factory)); // answered from the old address
    EXPECT_EQ(r.factoryResetCount(), 1);
    EXPECT_EQ(r.address(), 1);
    EXPECT_EQ(r.outputs(), 0);
    EXPECT_EQ(r.uidBytes(), QByteArray(16, '\0'));
    EXPECT_EQ(r.keyBytes(), QByteArray(16, '\0'));
    EXPECT_EQ(r.inputs(), 0x00A5);            // inputs are the outside world's
    EXPECT_EQ(r.serialNumber(), 0x0012ABCDu); // and the identity stays
    EXPECT_EQ(r.version(), 0x1A05);
}

TEST(VirtualReader, RefusedWritesChangeNothing)
{
    VirtualReader r = preparedReader();
    r.handleRequest(frame("01 06 01 00 00 00"));
    r.handleRequest(frame("01 06 01 0A 00 03"));
    r.handleRequest(frame("01 06 01 10 00 00"));
    EXPECT_EQ(r.address(), 1);
    EXPECT_EQ(r.rebootCount(), 0);
    EXPECT_EQ(r.factoryResetCount(), 0);
    EXPECT_EQ(r.inputs(), 0x00A5);
}

TEST(VirtualReader, CardAndKeys)
{
    VirtualReader r;
    r.presentCard(hex("00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF 12 34")); // 18 bytes: the last two drop
    EXPECT_EQ(r.registerValue(0x0112), 0x0011);
    EXPECT_EQ(r.registerValue(0x0119), 0xEEFF);
    EXPECT_EQ(r.registerValue(0x011A), 0);

    EXPECT_TRUE(r.typeKeyDigits(QStringLiteral("1204")));
    EXPECT_EQ(r.keyBytes(), hex("01 02 0A 04") + QByteArray(12, '\0'));
    EXPECT_EQ(r.registerValue(0x011B), 0x0102);
    EXPECT_EQ(r.registerValue(0x011C), 0x0A04);
    EXPECT_FALSE(r.typeKeyDigits(QStringLiteral("12a")));
    EXPECT_FALSE(r.typeKeyDigits(QStringLiteral("12345678901234567")));
    EXPECT_EQ(r.registerValue(0x011B), 0x0102); // unchanged by the refused ones
    EXPECT_TRUE(r.typeKeyDigits(QString()));
    EXPECT_EQ(r.keyBytes(), QByteArray(16, '\0'));
}

TEST(VirtualReader, SerialAndVersionRegisters)
{
    VirtualReader r;
    r.setSerialNumber(0xDEADBEEF);
    r.setVersion(0x0A05);
    EXPECT_EQ(spaced(r.handleRequest(hex("01 03 01 07 00 03 B5 F6"))), spaced(frame("01 03 06 DE AD BE EF 0A 05")));
}

TEST(VirtualReader, LargestRead)
{
    // 125 registers is the most one read may ask for; none of these ranges is fully mapped,
    // so the count check passes and the address check answers.
    VirtualReader r;
    EXPECT_EQ(spaced(r.handleRequest(simtest::request(1, 3, 0x0100, 125))), spaced(frame("01 83 02")));
    EXPECT_EQ(spaced(r.handleRequest(simtest::request(1, 3, 0x0100, 126))), spaced(frame("01 83 03")));
}
