#include "link/frameevent.h"
#include "link/hextext.h"

namespace relvix {

void FrameTextObserver::frameEvent(const FrameEvent &event)
{
    const auto hex = [&] {
        return HexText(reinterpret_cast<const std::uint8_t *>(event.bytes.constData()), int(event.bytes.size()));
    };
    switch (event.kind) {
    case FrameEvent::Kind::Open:
        showTransmitText(QString());
        showReceiveText(QString());
        break;
    case FrameEvent::Kind::Request:
        showTransmitText(hex());
        break;
    case FrameEvent::Kind::Response:
        showReceiveText(hex());
        break;
    default:
        break;
    }
}

QString frameEventTag(FrameEvent::Kind kind)
{
    switch (kind) {
    case FrameEvent::Kind::Open:
        return QStringLiteral("OPEN");
    case FrameEvent::Kind::OpenFailed:
        return QStringLiteral("OPEN-FAILED");
    case FrameEvent::Kind::Request:
        return QStringLiteral("TX");
    case FrameEvent::Kind::Response:
        return QStringLiteral("RX");
    case FrameEvent::Kind::NoResponse:
        return QStringLiteral("FAIL");
    case FrameEvent::Kind::Close:
        return QStringLiteral("CLOSE");
    }
    return QStringLiteral("?");
}

QString frameEventText(const FrameEvent &event)
{
    QString text = frameEventTag(event.kind);
    const bool exchange = event.kind == FrameEvent::Kind::Request || event.kind == FrameEvent::Kind::Response ||
                          event.kind == FrameEvent::Kind::NoResponse;
    if (exchange)
        text += QStringLiteral(" slave %1:").arg(event.slave);
    if (!event.bytes.isEmpty()) {
        // HexText ends every byte with a blank; the line does not end with one.
        text += QLatin1Char(' ') +
                HexText(reinterpret_cast<const std::uint8_t *>(event.bytes.constData()), int(event.bytes.size()))
                    .chopped(1);
    }
    if (!event.detail.isEmpty()) {
        if (event.kind == FrameEvent::Kind::NoResponse)
            text += QStringLiteral(" (%1 bytes: %2)").arg(QString::number(event.bytes.size()), event.detail);
        else
            text += QLatin1Char(' ') + event.detail;
    }
    return text;
}

} // namespace relvix
