#include "reader/valuetext.h"
#include "reader/registers.h"

#include <array>

namespace relvix {
namespace {

struct FormatRule {
    int bytes;              // taken from d[0] onward
    bool reversedByDefault; // the comma formats read last-first while the LSB box is clear
};

constexpr std::array<FormatRule, kUidFormatCount> kRules{{
    {4, false},  // 8H10D
    {3, false},  // 6H8D
    {4, false},  // 8H
    {3, false},  // 6H
    {4, true},   // 5D,5D
    {3, true},   // 3D,5D
    {8, false},  // 16H
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

std::optional<int> UidFormatIndex(const QString &name)
{
    for (int i = 0; i < kUidFormatCount; ++i)
        if (name == QLatin1String(kUidFormatNames[i]))
            return i;
    return std::nullopt;
}

QString UidText(const DataBlock &d, int formatIndex, bool lsb)
{
    if (formatIndex < 0 || formatIndex >= kUidFormatCount)
        return {};
    const FormatRule rule = kRules[std::size_t(formatIndex)];
    const bool reversed = rule.reversedByDefault ? !lsb : lsb;
    std::array<std::uint8_t, 16> seq{};
    for (std::size_t i = 0; i < std::size_t(rule.bytes); ++i)
        seq[i] = reversed ? d[std::size_t(rule.bytes) - 1 - i] : d[i];

    switch (formatIndex) {
    case 0: { // 8H10D
        const std::uint32_t v =
            (std::uint32_t(seq[0]) << 24) | (std::uint32_t(seq[1]) << 16) | (std::uint32_t(seq[2]) << 8) | seq[3];
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

QString KeypadText(const DataBlock &k, bool hex)
{
    if (hex)
        return hexJoined(k.data(), 16) + QStringLiteral(" (H)");
    QString text;
    for (std::size_t i = 0; i < k.size() && k[i] != 0; ++i)
        text += k[i] <= 9 ? QString::number(k[i]) : QStringLiteral("0");
    return text;
}

QString SerialNumberText(const Identity &identity)
{
    return QString::asprintf("S/N : %08X", unsigned(identity.serialNumber));
}

QString VersionText(const Identity &identity)
{
    return QString::asprintf("VER : %04X", unsigned(identity.version));
}

QString RegisterText(std::uint16_t value)
{
    return QString::asprintf("%04X", unsigned(value));
}

QString WriteFunctionText()
{
    return QString::asprintf("%02X", unsigned(reg::WriteSingle));
}

QString WriteDataText(std::uint16_t registerAddress, std::uint16_t value)
{
    return RegisterText(registerAddress) + RegisterText(value);
}

} // namespace relvix
