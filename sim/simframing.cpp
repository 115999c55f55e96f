#include "simframing.h"
#include "virtualreader.h"

#include <cstdint>
#include <utility>

namespace relvix::sim {

int completeFrameLength(const QByteArray &buffer)
{
    std::uint16_t crc = 0xFFFF; // CRC of the first k bytes
    const int n = static_cast<int>(buffer.size());
    for (int k = 0; k + 2 <= n; ++k) {
        if (k >= 2) {
            const std::uint16_t carried = static_cast<std::uint16_t>(static_cast<std::uint8_t>(buffer[k]) |
                                                                     (static_cast<std::uint8_t>(buffer[k + 1]) << 8));
            if (crc == carried)
                return k + 2;
        }
        crc = crc16Step(crc, static_cast<std::uint8_t>(buffer[k]));
    }
    return 0;
}

int requestLength(const QByteArray &buffer, bool silent)
{
    if (buffer.size() >= 2) {
        const auto function = static_cast<std::uint8_t>(buffer[1]);
        if (function == 0x03 || function == 0x06) {
            if (buffer.size() >= FixedRequestLength && hasValidCrc(buffer.left(FixedRequestLength)))
                return FixedRequestLength;
            if (buffer.size() < FixedRequestLength && !silent)
                return 0;
        }
    }
    return completeFrameLength(buffer);
}

void RequestFramer::append(const QByteArray &bytes)
{
    if (!hasUnread()) {
        unread_ = bytes;
        read_ = 0;
    } else {
        unread_.append(bytes);
    }
}

RequestFramer::Item RequestFramer::next(bool silent)
{
    afterRequest_ = false;
    for (;;) {
        const int length = requestLength(rx_, silent);
        if (length > 0) {
            Item item{Item::Request, rx_.left(length)};
            rx_.remove(0, length);
            afterRequest_ = true;
            return item;
        }
        if (rx_.size() > MaxRequestBuffer)
            return {Item::Dropped, std::exchange(rx_, {})};
        if (!hasUnread())
            return {};
        const qsizetype piece = qMin<qsizetype>(MaxRequestBuffer + 1 - rx_.size(), unread_.size() - read_);
        rx_.append(unread_.constData() + read_, piece);
        read_ += piece;
    }
}

void RequestFramer::garblePending()
{
    for (char &c : rx_)
        c = static_cast<char>(~c);
    for (qsizetype i = read_; i < unread_.size(); ++i)
        unread_[i] = static_cast<char>(~unread_[i]);
}

} // namespace relvix::sim
