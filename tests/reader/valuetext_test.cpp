// Card, keypad, identity and register texts against the worked examples.
#include "reader/valuetext.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

using namespace relvix;

namespace {

using Block = DataBlock;

Block block(std::initializer_list<std::uint8_t> head)
{
    Block b{};
    std::copy(head.begin(), head.end(), b.begin());
    return b;
}

int formatIndex(const char *name)
{
    return UidFormatIndex(QString::fromLatin1(name)).value_or(-1);
}

struct UidCase {
    Block d;
    const char *format;
    bool lsb;
    const char *expected;
};

} // namespace

TEST(UidText, FormatsAndByteOrder)
{
    const Block b12345678 = block({0x12, 0x34, 0x56, 0x78});
    const Block b00000100 = block({0x00, 0x00, 0x01, 0x00});
    const Block bFFFFFF = block({0xFF, 0xFF, 0xFF});
    const Block b010203 = block({0x01, 0x02, 0x03});
    const UidCase cases[] = {
        {b12345678, "8H", false, "12345678 (H)"},
        {b12345678, "8H", true, "78563412 (H)"},
        // The comma formats read last-first while the box is clear.
        {b12345678, "5D,5D", false, "30806,13330"},
        {b12345678, "5D,5D", true, "04660,22136"},
        {b00000100, "8H10D", false, "0000000256"},
        {b00000100, "8H10D", true, "0000065536"},
        {bFFFFFF, "6H8D", false, "16777215"},
        {b010203, "3D,5D", false, "003,00513"},
        {b010203, "3D,5D", true, "001,00515"},
        {b010203, "6H", false, "010203 (H)"},
        {b010203, "6H", true, "030201 (H)"},
        {b010203, "6H8D", false, "00066051"},
        {block({0xFF, 0xFF, 0xFF, 0xFF}), "8H10D", false, "4294967295"},
    };
    for (const UidCase &c : cases) {
        const int index = formatIndex(c.format);
        ASSERT_GE(index, 0) << c.format;
        EXPECT_EQ(UidText(c.d, index, c.lsb), QString::fromLatin1(c.expected)) << c.format << (c.lsb ? " LSB" : "");
    }
}

TEST(UidText, WideHexFormatsTakeEightAndSixteenBytes)
{
    Block d{};
    for (int i = 0; i < 16; ++i)
        d[i] = std::uint8_t(0xA0 + i);
    EXPECT_EQ(UidText(d, formatIndex("16H"), false), QStringLiteral("A0A1A2A3A4A5A6A7 (H)"));
    EXPECT_EQ(UidText(d, formatIndex("16H"), true), QStringLiteral("A7A6A5A4A3A2A1A0 (H)"));
    EXPECT_EQ(UidText(d, formatIndex("32H"), false), QStringLiteral("A0A1A2A3A4A5A6A7A8A9AAABACADAEAF (H)"));
    EXPECT_EQ(UidText(d, formatIndex("32H"), true), QStringLiteral("AFAEADACABAAA9A8A7A6A5A4A3A2A1A0 (H)"));
}

TEST(UidText, ListOrderAndUnknownIndex)
{
    const char *expected[] = {"8H10D", "6H8D", "8H", "6H", "5D,5D", "3D,5D", "16H", "32H"};
    for (int i = 0; i < kUidFormatCount; ++i) {
        EXPECT_STREQ(kUidFormats[i].name, expected[i]);
        EXPECT_EQ(UidFormatIndex(QString::fromLatin1(expected[i])), i);
    }
    EXPECT_EQ(UidFormatIndex(QStringLiteral("8h")), std::nullopt);
    EXPECT_EQ(UidFormatIndex(QString()), std::nullopt);
    const Block d = block({1, 2, 3, 4});
    EXPECT_EQ(UidText(d, -1, false), QString());
    EXPECT_EQ(UidText(d, kUidFormatCount, false), QString());
}

TEST(KeypadText, DigitsStopAtZeroAndTenShowsAsZero)
{
    EXPECT_EQ(KeypadText(block({1, 2, 0x0A, 4, 0, 5}), false), QStringLiteral("1204"));
    EXPECT_EQ(KeypadText(block({}), false), QString());
    EXPECT_EQ(KeypadText(block({0, 1, 2}), false), QString());
    EXPECT_EQ(KeypadText(block({9, 0xFF, 11}), false), QStringLiteral("900"));
    Block full{};
    full.fill(7);
    EXPECT_EQ(KeypadText(full, false), QStringLiteral("7777777777777777"));
}

TEST(KeypadText, HexShowsAllSixteenBytes)
{
    EXPECT_EQ(KeypadText(block({1, 2, 0x0A, 4}), true), QStringLiteral("01020A04000000000000000000000000 (H)"));
    EXPECT_EQ(KeypadText(block({}), true), QStringLiteral("00000000000000000000000000000000 (H)"));
}

TEST(IdentityText, SerialNumberAndVersion)
{
    EXPECT_EQ(SerialNumberText({0x0012ABCD, 0x1A05}), QStringLiteral("S/N : 0012ABCD"));
    EXPECT_EQ(VersionText({0x0012ABCD, 0x1A05}), QStringLiteral("VER : 1A05"));
    EXPECT_EQ(VersionText({0, 0x0A05}), QStringLiteral("VER : 0A05"));
}

TEST(RegisterText, FourUpperCaseDigitsAndWriteTexts)
{
    EXPECT_EQ(RegisterText(0x00A5), QStringLiteral("00A5"));
    EXPECT_EQ(RegisterText(0x0F00), QStringLiteral("0F00"));
    EXPECT_EQ(WriteFunctionText(), QStringLiteral("06"));
    EXPECT_EQ(WriteDataText(0x0100, 5), QStringLiteral("01000005"));
    EXPECT_EQ(WriteDataText(0x0100, 254), QStringLiteral("010000FE"));
    EXPECT_EQ(WriteDataText(0x010A, 2), QStringLiteral("010A0002"));
}
