// The serial-mode parser on arbitrary text: never crashes, and what it does set is usable.
#include "link/serialmode.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString text = QString::fromLatin1(reinterpret_cast<const char *>(data), qsizetype(size));
    const relvix::SerialMode mode = relvix::ParseSerialMode(text);
    if (mode.baudRate && *mode.baudRate <= 0)
        std::abort();
    if (mode.dataBits && (static_cast<int>(*mode.dataBits) < 5 || static_cast<int>(*mode.dataBits) > 8))
        std::abort();
    return 0;
}
