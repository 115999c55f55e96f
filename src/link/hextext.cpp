#include "link/hextext.h"

namespace relvix {

QString HexText(const std::uint8_t *bytes, int count)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
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

} // namespace relvix
