// The command language of the relvix-sim program.
#include "simcommands.h"
#include "support/simtestutil.h"

#include <gtest/gtest.h>

using namespace relvix::sim;
using simtest::hex;

TEST(SimCommands, HexBytes)
{
    bool ok = false;
    EXPECT_EQ(parseHexBytes(QStringLiteral("01 0a FF"), &ok), hex("01 0A FF"));
    EXPECT_TRUE(ok);
    EXPECT_TRUE(parseHexBytes(QString(), &ok).isEmpty());
    EXPECT_TRUE(ok);
    EXPECT_TRUE(parseHexBytes(QStringLiteral("123"), &ok).isEmpty());
    EXPECT_FALSE(ok);
    EXPECT_TRUE(parseHexBytes(QStringLiteral("0G"), &ok).isEmpty());
    EXPECT_FALSE(ok);
}

TEST(SimCommands, HexNumbers)
{
    EXPECT_EQ(parseHexNumber(QStringLiteral("00A5"), 4), 0x00A5u);
    EXPECT_EQ(parseHexNumber(QStringLiteral("a5"), 4), 0xA5u);
    EXPECT_EQ(parseHexNumber(QStringLiteral("DEADBEEF"), 8), 0xDEADBEEFu);
    EXPECT_FALSE(parseHexNumber(QStringLiteral("12345"), 4));
    EXPECT_FALSE(parseHexNumber(QString(), 4));
    EXPECT_FALSE(parseHexNumber(QStringLiteral("-1"), 4));
    EXPECT_FALSE(parseHexNumber(QStringLiteral("0x12"), 4));
}

TEST(SimCommands, FaultWords)
{
    FaultScript f;
    QString error;
    ASSERT_TRUE(applyFaultWords(
        f, QStringList{"delay", "200",         "gap", "5",           "chunk",     "3",         "noise-before",
                       "FF00",  "noise-after", "AA",  "wrong-crc",   "exception", "4",         "silent",
                       "off",   "endless",     "on",  "close-after", "9",         "answer-as", "7"},
        &error))
        << error.toStdString();
    EXPECT_EQ(f.delayMs, 200);
    EXPECT_EQ(f.gapMs, 5);
    EXPECT_EQ(f.chunkSize, 3);
    EXPECT_EQ(f.noiseBefore, hex("FF 00"));
    EXPECT_EQ(f.noiseAfter, hex("AA"));
    EXPECT_TRUE(f.wrongCrc);
    EXPECT_EQ(f.exceptionCode, 4);
    EXPECT_FALSE(f.silent);
    EXPECT_TRUE(f.endless);
    EXPECT_EQ(f.closeAfterBytes, 9);
    EXPECT_EQ(f.answerAsAddress, 7);

    ASSERT_TRUE(applyFaultWords(f, QStringList{"none"}, &error));
    EXPECT_EQ(f.delayMs, 0);
    EXPECT_TRUE(f.noiseBefore.isEmpty());
    EXPECT_FALSE(f.wrongCrc);
    EXPECT_EQ(f.exceptionCode, 0);
    EXPECT_EQ(f.closeAfterBytes, -1);
    EXPECT_EQ(f.answerAsAddress, -1);

    // A bad word leaves everything as it was.
    f.delayMs = 10;
    EXPECT_FALSE(applyFaultWords(f, QStringList{"gap", "5", "delay", "soon"}, &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_EQ(f.delayMs, 10);
    EXPECT_EQ(f.gapMs, 0);
    EXPECT_FALSE(applyFaultWords(f, QStringList{"sparkle"}, &error));
    EXPECT_FALSE(applyFaultWords(f, QStringList{"noise-before", "XYZ"}, &error));
    EXPECT_FALSE(applyFaultWords(f, QStringList{"delay"}, &error));
    EXPECT_FALSE(applyFaultWords(f, QStringList{"exception", "256"}, &error));
}

TEST(SimCommands, ChangeTheReader)
{
    SimServer server;
    QString out;
    EXPECT_EQ(runCommand(server, QStringLiteral("uid 04 A1 B2"), &out), CommandResult::Ok);
    EXPECT_EQ(runCommand(server, QStringLiteral("keys 1204"), &out), CommandResult::Ok);
    EXPECT_EQ(runCommand(server, QStringLiteral("inputs 00a5"), &out), CommandResult::Ok);
    EXPECT_EQ(runCommand(server, QStringLiteral("outputs 0F00"), &out), CommandResult::Ok);
    EXPECT_EQ(runCommand(server, QStringLiteral("serial DEADBEEF"), &out), CommandResult::Ok);
    EXPECT_EQ(runCommand(server, QStringLiteral("version 0A05"), &out), CommandResult::Ok);
    EXPECT_EQ(runCommand(server, QStringLiteral("  address 17  "), &out), CommandResult::Ok);
    server.withReader([](VirtualReader &r) {
        EXPECT_EQ(r.uidBytes().left(4), hex("04 A1 B2 00"));
        EXPECT_EQ(r.keyBytes().left(5), hex("01 02 0A 04 00"));
        EXPECT_EQ(r.inputs(), 0x00A5);
        EXPECT_EQ(r.outputs(), 0x0F00);
        EXPECT_EQ(r.serialNumber(), 0xDEADBEEFu);
        EXPECT_EQ(r.version(), 0x0A05);
        EXPECT_EQ(r.address(), 17);
    });
    EXPECT_EQ(runCommand(server, QStringLiteral("show"), &out), CommandResult::Ok);
    EXPECT_EQ(out, QStringLiteral("address 17 serial DEADBEEF version 0A05 inputs 00A5 outputs 0F00 "
                                  "uid 04A1B200000000000000000000000000 keys 1204 reboots 0 factory-resets 0"));
    EXPECT_EQ(runCommand(server, QStringLiteral("uid"), &out), CommandResult::Ok);
    EXPECT_EQ(runCommand(server, QStringLiteral("keys"), &out), CommandResult::Ok);
    server.withReader([](VirtualReader &r) {
        EXPECT_EQ(r.uidBytes(), QByteArray(16, '\0'));
        EXPECT_EQ(r.keyBytes(), QByteArray(16, '\0'));
    });
}

TEST(SimCommands, FaultsAndOthers)
{
    SimServer server;
    QString out;
    EXPECT_EQ(runCommand(server, QStringLiteral("fault delay 200"), &out), CommandResult::Ok);
    EXPECT_EQ(runCommand(server, QStringLiteral("fault wrong-crc"), &out), CommandResult::Ok);
    EXPECT_EQ(server.faults().delayMs, 200); // fault words add to what is set
    EXPECT_TRUE(server.faults().wrongCrc);
    EXPECT_EQ(runCommand(server, QStringLiteral("fault none"), &out), CommandResult::Ok);
    EXPECT_EQ(server.faults().delayMs, 0);
    EXPECT_FALSE(server.faults().wrongCrc);
    EXPECT_EQ(runCommand(server, QStringLiteral("fault"), &out), CommandResult::Error);
    EXPECT_EQ(runCommand(server, QStringLiteral("# a comment"), &out), CommandResult::Ok);
    EXPECT_EQ(runCommand(server, QStringLiteral(""), &out), CommandResult::Ok);
    EXPECT_EQ(runCommand(server, QStringLiteral("log off"), &out), CommandResult::Ok);
    EXPECT_EQ(runCommand(server, QStringLiteral("inject 01 02"), &out), CommandResult::Ok);
    EXPECT_EQ(server.log().filter(QStringLiteral("INJECT 01 02")).size(), 1);
    EXPECT_EQ(runCommand(server, QStringLiteral("close-pty"), &out), CommandResult::Ok);
    EXPECT_EQ(runCommand(server, QStringLiteral("help"), &out), CommandResult::Ok);
    EXPECT_TRUE(out.contains(QStringLiteral("fault")));
    EXPECT_EQ(runCommand(server, QStringLiteral("QUIT"), &out), CommandResult::Quit);
}

TEST(SimCommands, RefusedValues)
{
    SimServer server;
    QString out;
    for (const char *line : {"uid 123", "uid 00112233445566778899AABBCCDDEEFF00", "keys 12x", "inputs 12345", "inputs",
                             "address 0", "address 255", "address five", "serial 123456789", "version XYZ", "inject",
                             "inject 0", "log maybe", "nonsense"}) {
        out.clear();
        EXPECT_EQ(runCommand(server, QString::fromLatin1(line), &out), CommandResult::Error) << line;
        EXPECT_FALSE(out.isEmpty()) << line;
    }
    server.withReader([](VirtualReader &r) { EXPECT_EQ(r.address(), 1); });
}

TEST(SimCommands, InputLines)
{
    // Bound 8 bytes; each case fed in pieces of the given size, then ended.
    const struct {
        const char *input;
        int piece;
        QStringList expected; // "!" for a line reported as too long
    } cases[] = {
        {"show\nquit\n", 100, {"show", "quit"}},
        {"show\nquit\n", 1, {"show", "quit"}},
        {"12345678\n123456789\nshow\n", 3, {"12345678", "!", "show"}},
        {"123456789012345678901234\nshow", 4, {"!", "show"}},
        {"\n\nlast", 2, {"", "", "last"}},
        {"123456789", 5, {"!"}},
    };
    for (const auto &c : cases) {
        InputLines lines(8);
        QStringList got;
        auto take = [&](const QList<InputLines::Line> &some) {
            for (const InputLines::Line &line : some)
                got << (line.tooLong ? QStringLiteral("!") : QString::fromLatin1(line.text));
        };
        const QByteArray input(c.input);
        for (qsizetype at = 0; at < input.size(); at += c.piece)
            take(lines.feed(input.mid(at, c.piece)));
        take(lines.finish());
        EXPECT_EQ(got, c.expected) << c.input << " in pieces of " << c.piece;
    }
}
