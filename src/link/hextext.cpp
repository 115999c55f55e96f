#include "link/hextext.h"

namespace relvix {
namespace {

constexpr char kDigits[] = "0123456789ABCDEF";

int digitValue(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1;
}

} // namespace

QString HexText(const std::uint8_t *bytes, int count)
{
    if (count <= 0)
        return QString();
    QString text;
    text.reserve(count * 3);
    for (int i = 0; i < count; ++i) {
        text.append(QLatin1Char(kDigits[bytes[i] >> 4]));
        text.append(QLatin1Char(kDigits[bytes[i] & 0x0F]));
        text.append(QLatin1Char(' '));
    }
    return text;
}

QString HexBytes(QByteArrayView bytes, char separator)
{
    QString text;
    text.reserve(bytes.size() * 3);
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (separator && i > 0)
            text.append(QLatin1Char(separator));
        const auto b = static_cast<std::uint8_t>(bytes[i]);
        text.append(QLatin1Char(kDigits[b >> 4]));
        text.append(QLatin1Char(kDigits[b & 0x0F]));
    }
    return text;
}

std::optional<QByteArray> StrictHexBytes(QStringView text)
{
    if (text.size() % 2 != 0)
        return std::nullopt;
    QByteArray bytes;
    bytes.reserve(text.size() / 2);
    for (qsizetype i = 0; i < text.size(); i += 2) {
        const int high = digitValue(text[i]);
        const int low = digitValue(text[i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        bytes.append(static_cast<char>((high << 4) | low));
    }
    return bytes;
}

std::optional<std::uint32_t> StrictHexNumber(QStringView text, int maxDigits)
{
    if (text.isEmpty() || text.size() > maxDigits || text.size() > 8)
        return std::nullopt;
    std::uint32_t value = 0;
    for (const QChar c : text) {
        const int digit = digitValue(c);
        if (digit < 0)
            return std::nullopt;
        value = (value << 4) | std::uint32_t(digit);
    }
    return value;
}

} // namespace relvix
