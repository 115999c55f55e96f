// Command-text conversion on arbitrary text: never more than a frame holds, and bytes only
// when every character was a hex digit.
#include "link/commandtext.h"

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString text = QString::fromLatin1(reinterpret_cast<const char *>(data), qsizetype(size));
    const QByteArray bytes = relvix::CommandDataBytes(text);
    if (bytes.size() > 1496)
        std::abort();
    if (!bytes.isEmpty()) {
        if (bytes.size() != (text.size() + 1) / 2)
            std::abort();
        for (QChar c : text)
            if (!isxdigit(static_cast<unsigned char>(c.toLatin1())))
                std::abort();
    }
    (void)relvix::CommandFunctionCode(text);
    std::uint32_t value = 0;
    if (relvix::ParseHexInteger(text, value) && text.isEmpty())
        std::abort();
    return 0;
}
