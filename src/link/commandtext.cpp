#include "link/commandtext.h"
#include "link/receiverule.h"

namespace relvix {
namespace {

int hexDigitValue(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    return -1;
}

} // namespace

bool ParseHexInteger(const QString &digits, std::uint32_t &value)
{
    // The text stands behind an implied "0x": only hex digits may follow, at least one.
    if (digits.isEmpty())
        return false;
    std::uint64_t v = 0;
    for (QChar c : digits) {
        const int d = hexDigitValue(c);
        if (d < 0)
            return false;
        v = (v << 4) | static_cast<unsigned>(d);
        if (v > 0xFFFFFFFFull) // leading zeros are fine, a value past 32 bits is not
            return false;
    }
    value = static_cast<std::uint32_t>(v);
    return true;
}

QByteArray CommandDataBytes(const QString &dataText)
{
    const qsizetype length = dataText.size();
    // 1500 bytes of frame leave 1496 for data: a longer text cannot be sent whole.
    if ((length + 1) / 2 > kMaxPayload)
        return QByteArray();
    QByteArray bytes;
    bytes.reserve((length + 1) / 2);
    for (qsizetype i = 0; i < length; i += 2) {
        std::uint32_t v = 0;
        if (!ParseHexInteger(dataText.mid(i, 2), v))
            return QByteArray(); // one bad pair drops the bytes converted before it too
        bytes.append(static_cast<char>(v & 0xFFu));
    }
    return bytes;
}

std::uint8_t CommandFunctionCode(const QString &functionText)
{
    std::uint32_t v = 0;
    if (!ParseHexInteger(functionText, v))
        return 0;
    return static_cast<std::uint8_t>(v & 0xFFu);
}

} // namespace relvix
