// The receive rule byte by byte: when a response is tested, when it is accepted, the wrap.
#include "link/receiverule.h"
#include "linktestsupport.h"

#include <array>
#include <gtest/gtest.h>

using namespace relvix;
using linktest::Bytes;

namespace {

struct RuleFixture {
    std::array<std::uint8_t, kFrameBufferSize> buffer{};
    std::int32_t length = 0;
};

// Feeds bytes; returns the 1-based count at which the rule accepted, or 0.
int feed(ReceiveRule &rule, const Bytes &bytes)
{
    for (std::size_t i = 0; i < bytes.size(); ++i)
        if (rule.push(bytes[i]))
            return static_cast<int>(i + 1);
    return 0;
}

} // namespace

TEST(LinkReceiveRule, ExpectedLengthZeroStandsForSeven)
{
    RuleFixture f;
    ReceiveRule rule(f.buffer.data(), f.length, 0);
    EXPECT_EQ(rule.expectedLength(), 7);
    // A valid 5-byte frame is not even tested below 7 bytes.
    RuleFixture g;
    ReceiveRule seven(g.buffer.data(), g.length, 7);
    const Bytes reply = linktest::readThreeRegisters();
    RuleFixture h;
    ReceiveRule zero(h.buffer.data(), h.length, 0);
    EXPECT_EQ(feed(seven, reply), feed(zero, reply));
}

TEST(LinkReceiveRule, LengthsOneToThreeCountAsFour)
{
    for (int e : {1, 2, 3, -5}) {
        RuleFixture f;
        ReceiveRule rule(f.buffer.data(), f.length, e);
        EXPECT_EQ(rule.expectedLength(), 4) << e;
    }
    // The shortest frame, address + function + CRC, is then accepted at 4.
    RuleFixture f;
    ReceiveRule rule(f.buffer.data(), f.length, 1);
    EXPECT_EQ(feed(rule, linktest::withCrc({0x01, 0x03})), 4);
}

TEST(LinkReceiveRule, ElevenByteResponseTestedFromSevenAcceptedAtEleven)
{
    const Bytes reply = linktest::readThreeRegisters();
    ASSERT_EQ(reply.size(), 11u);
    for (std::size_t n = 7; n < 11; ++n)
        ASSERT_FALSE(linktest::crcMatchesAt(reply, n)) << "vector would be accepted early at " << n;
    RuleFixture f;
    ReceiveRule rule(f.buffer.data(), f.length, 7);
    for (std::size_t i = 0; i < 10; ++i) {
        EXPECT_FALSE(rule.push(reply[i])) << i;
        EXPECT_EQ(f.length, static_cast<int>(i + 1));
    }
    EXPECT_TRUE(rule.push(reply[10]));
    EXPECT_EQ(f.length, 11);
    EXPECT_TRUE(std::equal(reply.begin(), reply.end(), f.buffer.begin()));
}

TEST(LinkReceiveRule, ShorterCrcMatchAcceptsThereAndLengthSaysSo)
{
    // A complete 8-byte write echo with three bytes behind it: expected 7, the CRC first
    // matches at 8 and the response ends there, whatever follows.
    Bytes stream = linktest::writeEcho();
    ASSERT_FALSE(linktest::crcMatchesAt(stream, 7));
    stream.insert(stream.end(), {0xAA, 0xBB, 0xCC});
    RuleFixture f;
    ReceiveRule rule(f.buffer.data(), f.length, 7);
    EXPECT_EQ(feed(rule, stream), 8);
    EXPECT_EQ(f.length, 8);
}

TEST(LinkReceiveRule, SlaveAndFunctionAreNotCompared)
{
    // Address 7, function 0x10: nothing but the CRC and the length decide.
    RuleFixture f;
    ReceiveRule rule(f.buffer.data(), f.length, 8);
    EXPECT_EQ(feed(rule, linktest::withCrc({0x07, 0x10, 0x01, 0x00, 0x00, 0x01})), 8);
}

TEST(LinkReceiveRule, ExceptionReplyOfFiveBytesIsNeverAcceptedFromSevenOn)
{
    const Bytes reply = linktest::exceptionReply();
    ASSERT_EQ(reply.size(), 5u);
    ASSERT_TRUE(linktest::crcMatchesAt(reply, 5));
    RuleFixture f;
    ReceiveRule rule(f.buffer.data(), f.length, 0);
    EXPECT_EQ(feed(rule, reply), 0);
    EXPECT_EQ(f.length, 5);
}

TEST(LinkReceiveRule, FifteenHundredthByteStartsOverAtOffsetZero)
{
    // Zero bytes: the CRC register never reaches 0 from 0xFFFF on zero input, so no length
    // of an all-zero run matches (checked with the reference below).
    Bytes zeros(1499, 0x00);
    for (std::size_t n = 7; n <= zeros.size(); ++n)
        ASSERT_FALSE(linktest::crcMatchesAt(zeros, n)) << n;
    RuleFixture f;
    ReceiveRule rule(f.buffer.data(), f.length, 7);
    EXPECT_EQ(feed(rule, zeros), 0);
    EXPECT_EQ(f.length, 1499);
    EXPECT_FALSE(rule.push(0x00)); // the 1500th
    EXPECT_EQ(f.length, 0);
    EXPECT_FALSE(rule.push(0x5A));
    EXPECT_EQ(f.length, 1);
    EXPECT_EQ(f.buffer[0], 0x5A);
}

TEST(LinkReceiveRule, ResponseAfterTheWrapIsAcceptedFromOffsetZero)
{
    RuleFixture f;
    ReceiveRule rule(f.buffer.data(), f.length, 8);
    EXPECT_EQ(feed(rule, Bytes(1500, 0x00)), 0);
    EXPECT_EQ(feed(rule, linktest::writeEcho()), 8);
    EXPECT_EQ(f.length, 8);
}

TEST(LinkReceiveRule, LongestResponseOf1499BytesIsAccepted)
{
    Bytes body{0x01, 0x03};
    for (int i = 0; i < 1495; ++i)
        body.push_back(static_cast<std::uint8_t>(i * 7 + 3));
    const Bytes reply = linktest::withCrc(body);
    ASSERT_EQ(reply.size(), 1499u);
    RuleFixture f;
    ReceiveRule rule(f.buffer.data(), f.length, 1499);
    EXPECT_EQ(feed(rule, reply), 1499);
    EXPECT_EQ(f.length, 1499);
}

TEST(LinkReceiveRule, AgreesByteForByteWithRecomputingTheCrcOfTheWholePrefix)
{
    // The rule carries the CRC of the growing prefix from byte to byte. Compare it, push by
    // push, with the rule written out plainly: store, wrap at 1500, and from the expected
    // length on recompute the CRC of all but the last two bytes. Streams mix noise with
    // valid frames so that matches are frequent, run past the wrap, go on after a match,
    // and now and then have their length set back to 0 the way each exchange does.
    std::uint32_t seed = 12345;
    auto next = [&] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 8;
    };
    const std::int32_t expectedLengths[] = {0, 1, 3, 4, 7, 8, 9, 11, 21, 1499};
    int matches = 0, wraps = 0;
    for (int round = 0; round < 400; ++round) {
        const std::size_t size = round % 40 == 0 ? 1400 + next() % 1800 : next() % 300;
        Bytes stream;
        while (stream.size() < size) {
            if (next() % 3 == 0) {
                Bytes body(2 + next() % 20);
                for (auto &b : body)
                    b = static_cast<std::uint8_t>(next());
                const Bytes frame = linktest::withCrc(body);
                stream.insert(stream.end(), frame.begin(), frame.end());
            } else {
                stream.push_back(static_cast<std::uint8_t>(next() % 4 == 0 ? 0 : next()));
            }
        }
        const std::int32_t asked = expectedLengths[next() % std::size(expectedLengths)];
        const std::int32_t expected = asked == 0 ? 7 : std::max(asked, 4);

        RuleFixture f;
        ReceiveRule rule(f.buffer.data(), f.length, asked);
        Bytes plain;
        const bool resets = size < 1400; // the long streams are there to reach the wrap
        for (std::size_t i = 0; i < stream.size(); ++i) {
            if (resets && next() % 100 == 0) {
                f.length = 0;
                plain.clear();
            }
            plain.push_back(stream[i]);
            bool want = false;
            if (plain.size() == kFrameBufferSize) {
                plain.clear();
                ++wraps;
            } else if (static_cast<std::int32_t>(plain.size()) >= expected) {
                want = linktest::crcMatchesAt(plain, plain.size());
            }
            matches += want ? 1 : 0;
            ASSERT_EQ(rule.push(stream[i]), want) << "round " << round << " byte " << i;
            ASSERT_EQ(f.length, static_cast<std::int32_t>(plain.size())) << "round " << round << " byte " << i;
        }
        ASSERT_TRUE(std::equal(plain.begin(), plain.end(), f.buffer.begin())) << "round " << round;
    }
    // The comparison means something only if both outcomes and the wrap occurred often.
    EXPECT_GT(matches, 50);
    EXPECT_GT(wraps, 5) << matches;
}
