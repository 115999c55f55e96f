#include "link/serialmode.h"

#include <algorithm>

#include <QStringList>

namespace relvix {
namespace {

std::optional<std::int32_t> parseBaud(const QString &field)
{
    if (field.isEmpty())
        return std::nullopt;
    qint64 v = 0;
    for (QChar c : field) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        v = v * 10 + (c.unicode() - u'0');
        if (v > kLargestCount)
            return std::nullopt;
    }
    if (v == 0)
        return std::nullopt;
    return static_cast<std::int32_t>(v);
}

std::optional<Parity> parseParity(const QString &field)
{
    if (field.size() != 1)
        return std::nullopt;
    switch (field.at(0).toLower().unicode()) {
    case u'n':
        return Parity::None;
    case u'e':
        return Parity::Even;
    case u'o':
        return Parity::Odd;
    case u'm':
        return Parity::Mark;
    case u's':
        return Parity::Space;
    default:
        return std::nullopt;
    }
}

std::optional<DataBits> parseDataBits(const QString &field)
{
    if (field == u"5")
        return DataBits::Five;
    if (field == u"6")
        return DataBits::Six;
    if (field == u"7")
        return DataBits::Seven;
    if (field == u"8")
        return DataBits::Eight;
    return std::nullopt;
}

std::optional<StopBits> parseStopBits(const QString &field)
{
    if (field == u"1")
        return StopBits::One;
    if (field == u"1.5")
        return StopBits::OneAndHalf;
    if (field == u"2")
        return StopBits::Two;
    return std::nullopt;
}

} // namespace

SerialMode ParseSerialMode(const QString &text)
{
    // "baud,parity,data,stop"; fields past the fourth (a flow-control letter, say) are
    // not ours to read and are ignored.
    const QStringList fields = text.split(QLatin1Char(','));
    auto field = [&](int i) { return i < fields.size() ? fields.at(i).trimmed() : QString(); };
    SerialMode mode;
    mode.baudRate = parseBaud(field(0));
    mode.parity = parseParity(field(1));
    mode.dataBits = parseDataBits(field(2));
    mode.stopBits = parseStopBits(field(3));
    return mode;
}

std::int64_t WireTimeUs(std::int64_t characters, std::int64_t baud)
{
    const std::int64_t b = std::max<std::int64_t>(baud, 1);
    return (characters * kBitsPerCharacter * 1'000'000 + b - 1) / b;
}

std::int64_t FrameGapUs(std::int64_t baud)
{
    const std::int64_t b = std::max<std::int64_t>(baud, 1);
    return (7 * kBitsPerCharacter * 1'000'000 + 2 * b - 1) / (2 * b);
}

std::int64_t WriteBoundMs(std::int64_t characters, std::int64_t baud)
{
    return (WireTimeUs(characters, std::max<std::int64_t>(baud, kSlowestCountedBaud)) + 999) / 1000 + kWriteSlackMs;
}

} // namespace relvix
