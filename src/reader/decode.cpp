#include "decode.h"

#include <array>

namespace relvix {
namespace {

struct FormatRule {
    int bytes;           // taken from d[0] onward
    bool reversedByDefault; // the comma formats read last-first while the LSB box is clear
};

constexpr std::array<FormatRule, kUidFormatCount> kRules{{
    {4, false}, // 8H10D
    {3, false}, // 6H8D
    {4, false}, // 8H
    {3, false}, // 6H
    {4, true},  // 5D,5D
    {3, true},  // 3D,5D
    {8, false}, // 16H
    {16, false}, // 32H
}};

QString hexJoined(const std::uint8_t *bytes, int count)
{
    QString text;
    text.reserve(count * 2);
    for (int i = 0; i < count; ++i)
        text += QString::asprintf("%02X", bytes[i]);
    return text;
}

} // namespace

QString UidText(const std::uint8_t *d, int formatIndex, bool lsb)
{
    if (formatIndex < 0 || formatIndex >= kUidFormatCount)
        return {};
    const FormatRule rule = kRules[formatIndex];
    const bool reversed = rule.reversedByDefault ? !lsb : lsb;
    std::array<std::uint8_t, 16> seq{};
    for (int i = 0; i < rule.bytes; ++i)
        seq[i] = reversed ? d[rule.bytes - 1 - i] : d[i];

    switch (formatIndex) {
    case 0: { // 8H10D
        const std::uint32_t v = (std::uint32_t(seq[0]) << 24) | (std::uint32_t(seq[1]) << 16) |
                                (std::uint32_t(seq[2]) << 8) | seq[3];
        return QString::asprintf("%010u", v);
    }
    case 1: { // 6H8D
        const std::uint32_t v = (std::uint32_t(seq[0]) << 16) | (std::uint32_t(seq[1]) << 8) | seq[2];
        return QString::asprintf("%08u", v);
    }
    case 4: { // 5D,5D
        const unsigned a = (unsigned(seq[0]) << 8) | seq[1];
        const unsigned b = (unsigned(seq[2]) << 8) | seq[3];
        return QString::asprintf("%05u,%05u", a, b);
    }
    case 5: { // 3D,5D
        const unsigned a = seq[0];
        const unsigned b = (unsigned(seq[1]) << 8) | seq[2];
        return QString::asprintf("%03u,%05u", a, b);
    }
    default: // 8H, 6H, 16H, 32H
        return hexJoined(seq.data(), rule.bytes) + QStringLiteral(" (H)");
    }
}

QString KeypadText(const std::uint8_t *k, bool hex)
{
    if (hex)
        return hexJoined(k, 16) + QStringLiteral(" (H)");
    QString text;
    for (int i = 0; i < 16 && k[i] != 0; ++i)
        text += k[i] <= 9 ? QString::number(k[i]) : QStringLiteral("0");
    return text;
}

QString SerialNumberText(const std::uint8_t *r)
{
    return QString::asprintf("S/N : %02X%02X%02X%02X", r[3], r[4], r[5], r[6]);
}

QString VersionText(const std::uint8_t *r)
{
    return QString::asprintf("VER : %02X%02X", r[7], r[8]);
}

QString RegisterText(std::uint8_t high, std::uint8_t low)
{
    return QString::asprintf("%02X%02X", high, low);
}

QString SetAddressDataText(int address)
{
    return QStringLiteral("0100") + QString::asprintf("%04X", unsigned(address) & 0xFFFFu);
}

} // namespace relvix
