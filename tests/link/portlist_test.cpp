#include "link/portlist.h"

#include <gtest/gtest.h>

using namespace relvix;

TEST(PortList, KeepsOrderAndDuplicatesAndTrimsBothEnds)
{
    EXPECT_EQ(PortListFrom({QStringLiteral("COM1"), QStringLiteral(" COM4 "), QStringLiteral("COM1")}),
              (QStringList{QStringLiteral("COM1"), QStringLiteral("COM4"), QStringLiteral("COM1")}));
    EXPECT_EQ(PortListFrom({QStringLiteral("ttyUSB1"), QStringLiteral("ttyACM0"), QStringLiteral("ttyS3")}),
              (QStringList{QStringLiteral("ttyUSB1"), QStringLiteral("ttyACM0"), QStringLiteral("ttyS3")}));
}

TEST(PortList, StripsEverythingBelow33)
{
    EXPECT_EQ(TrimPortName(QStringLiteral("\t\r\n COM2\x01\x1f ")), QStringLiteral("COM2"));
    EXPECT_EQ(TrimPortName(QStringLiteral(" COM 2 ")), QStringLiteral("COM 2")) << "inner blanks stay";
    EXPECT_EQ(TrimPortName(QStringLiteral("!COM!")), QStringLiteral("!COM!")) << "33 is kept";
}

TEST(PortList, BlankEntryStaysAsAnEmptyEntry)
{
    EXPECT_EQ(PortListFrom({QStringLiteral("COM1"), QStringLiteral("  \t"), QStringLiteral("COM2")}),
              (QStringList{QStringLiteral("COM1"), QString(), QStringLiteral("COM2")}));
    EXPECT_EQ(PortListFrom({QStringLiteral(" ")}), QStringList{QString()}) << "one blank entry is still an entry";
}

TEST(PortList, NoPortsGivesSixteenNames)
{
    QStringList expected;
    for (int n = 1; n <= 16; ++n)
        expected << QStringLiteral("COM%1").arg(n);
    EXPECT_EQ(PortListFrom({}), expected);
}

TEST(PortList, SystemListingOnlyNamesPorts)
{
    // Listing never opens anything; every name is a non-empty device name.
    for (const QString &name : systemSerialPortNames())
        EXPECT_FALSE(name.isEmpty());
}
