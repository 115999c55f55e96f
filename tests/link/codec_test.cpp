// CRC-16, hex text, command text and serial mode text.
#include "link/commandtext.h"
#include "link/crc16.h"
#include "link/hextext.h"
#include "link/serialmode.h"
#include "linktestsupport.h"

#include <gtest/gtest.h>
#include <random>

using namespace relvix;
using linktest::Bytes;
using linktest::hexBytes;

namespace {

// Every request frame printed in the reader's register documentation, CRC included.
const char *const kDocumentedFrames[] = {
    "01 03 01 00 00 01 85 F6", // read slave address
    "01 03 01 07 00 03 B5 F6", // read serial number and firmware
    "01 03 01 10 00 02 C4 32", // read digital inputs and outputs
    "01 06 01 11 FF FF D9 83", // set all outputs
    "01 06 01 00 00 05 48 35", // set slave address 5
    "01 06 01 00 00 FE 09 B6", // set slave address 254
    "01 06 01 0A 00 01 69 F4", // reboot
    "01 06 01 0A 00 02 29 F5", // factory settings
    "01 03 01 12 00 08 E5 F5", // read card UID block
    "01 03 01 1B 00 08 35 F7", // read keypad block
    "01 06 01 12 00 01 E9 F3", // clear card UID
    "01 06 01 1B 00 01 39 F1", // clear keypad code
};

} // namespace

TEST(LinkCrc16, CheckValueOverDigitsOneToNine)
{
    const std::uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(Crc16(9, digits), 0x4B37);
}

TEST(LinkCrc16, EmptyAndNegativeLengthGiveInitialValue)
{
    const std::uint8_t b[] = {0x55};
    EXPECT_EQ(Crc16(0, b), 0xFFFF);
    EXPECT_EQ(Crc16(-3, b), 0xFFFF);
    EXPECT_EQ(Crc16(0, nullptr), 0xFFFF);
}

TEST(LinkCrc16, DocumentedFramesCarryTheirCrcLowByteFirst)
{
    for (const char *text : kDocumentedFrames) {
        const Bytes frame = hexBytes(text);
        ASSERT_EQ(frame.size(), 8u) << text;
        const std::uint16_t crc = Crc16(6, frame.data());
        EXPECT_EQ(crc & 0xFF, frame[6]) << text;
        EXPECT_EQ(crc >> 8, frame[7]) << text;
        // The CRC over a whole frame, its own CRC included, is 0: the MODBUS residue.
        EXPECT_EQ(Crc16(8, frame.data()), 0x0000) << text;
    }
}

TEST(LinkCrc16, AgreesWithBitwiseReferenceForEverySingleByteAndRandomData)
{
    // Every single byte reaches a different table entry; random runs cover the chaining.
    for (int b = 0; b < 256; ++b) {
        const std::uint8_t byte = static_cast<std::uint8_t>(b);
        ASSERT_EQ(Crc16(1, &byte), linktest::referenceCrc(&byte, 1)) << b;
    }
    std::mt19937 rng(12345);
    for (int run = 0; run < 200; ++run) {
        Bytes data(static_cast<std::size_t>(rng() % 1500));
        for (auto &x : data)
            x = static_cast<std::uint8_t>(rng());
        ASSERT_EQ(Crc16(static_cast<int>(data.size()), data.data()), linktest::referenceCrc(data.data(), data.size()));
    }
}

TEST(LinkCrc16, CoversOnlyTheGivenLength)
{
    const Bytes frame = hexBytes("01 03 01 00 00 01 85 F6 AA BB");
    EXPECT_EQ(Crc16(6, frame.data()), 0xF685);
}

TEST(LinkHexText, TwoUpperCaseDigitsAndABlankPerByte)
{
    const Bytes frame = hexBytes("01 03 01 00 00 01 85 F6");
    const QString text = HexText(frame.data(), 8);
    EXPECT_EQ(text, QStringLiteral("01 03 01 00 00 01 85 F6 "));
    EXPECT_EQ(text.size(), 24);
    const std::uint8_t mixed[] = {0x00, 0x0a, 0xab, 0xff};
    EXPECT_EQ(HexText(mixed, 4), QStringLiteral("00 0A AB FF "));
    EXPECT_EQ(HexText(mixed, 0), QString());
    EXPECT_TRUE(HexText(nullptr, 0).isEmpty());
}

TEST(LinkCommandText, IntegerConversionTakesHexDigitsOnly)
{
    struct Case {
        const char *text;
        bool ok;
        std::uint32_t value;
    };
    const Case cases[] = {
        {"0", true, 0},
        {"03", true, 3},
        {"ff", true, 0xFF},
        {"FfFf", true, 0xFFFF},
        {"FFFFFFFF", true, 0xFFFFFFFF},
        {"000000001", true, 1},  // leading zeros do not count against 32 bits
        {"100000000", false, 0}, // 33 bits
        {"", false, 0},          // no digit
        {"0x01", false, 0},      // a second prefix
        {"x1", false, 0},
        {" 1", false, 0}, // a blank
        {"1 ", false, 0},
        {"-1", false, 0}, // a sign
        {"+1", false, 0},
        {"1g", false, 0},
        {"\xC2\xB9", false, 0}, // superscript one is no digit
    };
    for (const Case &c : cases) {
        std::uint32_t v = 0xDEADBEEF;
        EXPECT_EQ(ParseHexInteger(QString::fromUtf8(c.text), v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
}

TEST(LinkCommandText, DataTextPairsBecomeBytes)
{
    EXPECT_EQ(CommandDataBytes(QStringLiteral("01000001")), QByteArray::fromHex("01000001"));
    EXPECT_EQ(CommandDataBytes(QStringLiteral("123")), QByteArray::fromHex("1203")); // odd last digit alone
    EXPECT_EQ(CommandDataBytes(QStringLiteral("ff")), QByteArray::fromHex("FF"));
    EXPECT_EQ(CommandDataBytes(QStringLiteral("aBcD")), QByteArray::fromHex("ABCD"));
    EXPECT_EQ(CommandDataBytes(QStringLiteral("f")), QByteArray::fromHex("0F"));
    EXPECT_TRUE(CommandDataBytes(QString()).isEmpty());
}

TEST(LinkCommandText, AnyBadPairDropsEveryByte)
{
    EXPECT_TRUE(CommandDataBytes(QStringLiteral("01 00")).isEmpty());    // blank between pairs
    EXPECT_TRUE(CommandDataBytes(QStringLiteral("0x01")).isEmpty());     // prefix
    EXPECT_TRUE(CommandDataBytes(QStringLiteral("0100000G")).isEmpty()); // last pair bad
    EXPECT_TRUE(CommandDataBytes(QStringLiteral("0100000 ")).isEmpty());
    EXPECT_TRUE(CommandDataBytes(QStringLiteral("01-1")).isEmpty());
    EXPECT_TRUE(CommandDataBytes(QStringLiteral("0102 ")).isEmpty()); // odd trailing blank
}

TEST(LinkCommandText, DataTextLongerThanAFrameHoldsIsDropped)
{
    // 1500-byte frames leave room for 1496 data bytes: 2992 digits.
    const QString fits = QString(2992, QLatin1Char('a'));
    EXPECT_EQ(CommandDataBytes(fits).size(), 1496);
    EXPECT_EQ(CommandDataBytes(fits + QLatin1Char('b')).size(), 0); // 1497th byte, one digit
    EXPECT_EQ(CommandDataBytes(QString(3000, QLatin1Char('0'))).size(), 0);
}

TEST(LinkCommandText, FunctionTextIsOneHexNumberCutToEightBits)
{
    EXPECT_EQ(CommandFunctionCode(QStringLiteral("03")), 0x03);
    EXPECT_EQ(CommandFunctionCode(QStringLiteral("3")), 0x03);
    EXPECT_EQ(CommandFunctionCode(QStringLiteral("06")), 0x06);
    EXPECT_EQ(CommandFunctionCode(QStringLiteral("103")), 0x03);
    EXPECT_EQ(CommandFunctionCode(QStringLiteral("FFFFFF10")), 0x10);
    EXPECT_EQ(CommandFunctionCode(QString()), 0x00);
    EXPECT_EQ(CommandFunctionCode(QStringLiteral("0x03")), 0x00);
    EXPECT_EQ(CommandFunctionCode(QStringLiteral(" 3")), 0x00);
    EXPECT_EQ(CommandFunctionCode(QStringLiteral("100000003")), 0x00); // past 32 bits fails whole
}

TEST(LinkSerialMode, FourFieldsOfACommonMode)
{
    const SerialMode m = ParseSerialMode(QStringLiteral("19200,e,8,1"));
    EXPECT_EQ(m.baudRate, 19200);
    EXPECT_EQ(m.parity, Parity::Even);
    EXPECT_EQ(m.dataBits, DataBits::Eight);
    EXPECT_EQ(m.stopBits, StopBits::One);

    const SerialMode n = ParseSerialMode(QStringLiteral("115200,n,8,1"));
    EXPECT_EQ(n.baudRate, 115200);
    EXPECT_EQ(n.parity, Parity::None);
}

TEST(LinkSerialMode, EveryParityLetterDataWidthAndStopCount)
{
    EXPECT_EQ(ParseSerialMode(QStringLiteral("9600,o,7,2")).parity, Parity::Odd);
    EXPECT_EQ(ParseSerialMode(QStringLiteral("9600,M,7,2")).parity, Parity::Mark);
    EXPECT_EQ(ParseSerialMode(QStringLiteral("9600,S,7,2")).parity, Parity::Space);
    EXPECT_EQ(ParseSerialMode(QStringLiteral("9600,E,7,2")).parity, Parity::Even);
    EXPECT_EQ(ParseSerialMode(QStringLiteral("9600,N,5,1")).dataBits, DataBits::Five);
    EXPECT_EQ(ParseSerialMode(QStringLiteral("9600,N,6,1")).dataBits, DataBits::Six);
    EXPECT_EQ(ParseSerialMode(QStringLiteral("9600,N,7,1")).dataBits, DataBits::Seven);
    EXPECT_EQ(ParseSerialMode(QStringLiteral("9600,N,8,1.5")).stopBits, StopBits::OneAndHalf);
    EXPECT_EQ(ParseSerialMode(QStringLiteral("9600,N,8,2")).stopBits, StopBits::Two);
}

TEST(LinkSerialMode, BlanksAroundFieldsAreIgnored)
{
    const SerialMode m = ParseSerialMode(QStringLiteral(" 38400 , e , 7 , 2 "));
    EXPECT_EQ(m.baudRate, 38400);
    EXPECT_EQ(m.parity, Parity::Even);
    EXPECT_EQ(m.dataBits, DataBits::Seven);
    EXPECT_EQ(m.stopBits, StopBits::Two);
}

TEST(LinkSerialMode, FieldsThatCannotBeUsedStayEmpty)
{
    const SerialMode bad = ParseSerialMode(QStringLiteral("fast,x,9,3"));
    EXPECT_FALSE(bad.baudRate);
    EXPECT_FALSE(bad.parity);
    EXPECT_FALSE(bad.dataBits);
    EXPECT_FALSE(bad.stopBits);

    const SerialMode partial = ParseSerialMode(QStringLiteral("4800,ee,8"));
    EXPECT_EQ(partial.baudRate, 4800);
    EXPECT_FALSE(partial.parity);
    EXPECT_EQ(partial.dataBits, DataBits::Eight);
    EXPECT_FALSE(partial.stopBits); // missing

    EXPECT_FALSE(ParseSerialMode(QString()).baudRate);
    EXPECT_FALSE(ParseSerialMode(QStringLiteral("0,n,8,1")).baudRate);
    EXPECT_FALSE(ParseSerialMode(QStringLiteral("-9600,n,8,1")).baudRate);
    EXPECT_FALSE(ParseSerialMode(QStringLiteral("99999999999,n,8,1")).baudRate);
    EXPECT_FALSE(ParseSerialMode(QStringLiteral("96 00,n,8,1")).baudRate);
    EXPECT_FALSE(ParseSerialMode(QStringLiteral("9600,n,8,1.0")).stopBits);
}

TEST(LinkSerialMode, FieldsBeyondTheFourthAreIgnored)
{
    const SerialMode m = ParseSerialMode(QStringLiteral("9600,n,8,1,x"));
    EXPECT_EQ(m.baudRate, 9600);
    EXPECT_EQ(m.stopBits, StopBits::One);
}
