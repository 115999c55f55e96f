#include "reader/valuetext.h"
#include "reader/registers.h"

#include "link/hextext.h"

#include <array>

namespace relvix {
QStringList UidFormatNames()
{
    QStringList names;
    for (const UidFormat &format : kUidFormats)
        names.append(QLatin1String(format.name));
    return names;
}

std::optional<int> UidFormatIndex(const QString &name)
{
    for (int i = 0; i < kUidFormatCount; ++i)
        if (name == QLatin1String(kUidFormats[i].name))
            return i;
    return std::nullopt;
}

QString UidText(const DataBlock &d, int formatIndex, bool lsb)
{
    if (formatIndex < 0 || formatIndex >= kUidFormatCount)
        return {};
    const UidFormat &format = kUidFormats[formatIndex];
    const bool reversed = format.reversedByDefault ? !lsb : lsb;
    const auto count = std::size_t(format.bytes);
    std::array<std::uint8_t, 16> seq{};
    for (std::size_t i = 0; i < count; ++i)
        seq[i] = reversed ? d[count - 1 - i] : d[i];
    if (format.hex)
        return HexBytes(QByteArrayView(seq.data(), format.bytes)) + QStringLiteral(" (H)");
    // Each number high byte first.
    const auto number = [&seq](std::size_t from, std::size_t to) {
        std::uint32_t v = 0;
        for (std::size_t i = from; i < to; ++i)
            v = (v << 8) | seq[i];
        return v;
    };
    const std::size_t split = format.split > 0 ? std::size_t(format.split) : count;
    QString text = QStringLiteral("%1").arg(number(0, split), format.digits[0], 10, QLatin1Char('0'));
    if (split < count)
        text += QStringLiteral(",%1").arg(number(split, count), format.digits[1], 10, QLatin1Char('0'));
    return text;
}

QString KeypadText(const DataBlock &k, bool hex)
{
    if (hex)
        return HexBytes(QByteArrayView(k.data(), qsizetype(k.size()))) + QStringLiteral(" (H)");
    QString text;
    for (std::size_t i = 0; i < k.size() && k[i] != 0; ++i)
        text += k[i] <= 9 ? QString::number(k[i]) : QStringLiteral("0");
    return text;
}

QString SerialNumberDigits(const Identity &identity)
{
    return QString::asprintf("%08X", unsigned(identity.serialNumber));
}

QString VersionDigits(const Identity &identity)
{
    return RegisterText(identity.version);
}

QString SerialNumberText(const Identity &identity)
{
    return QStringLiteral("S/N : ") + SerialNumberDigits(identity);
}

QString VersionText(const Identity &identity)
{
    return QStringLiteral("VER : ") + VersionDigits(identity);
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
