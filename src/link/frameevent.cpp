#include "link/frameevent.h"
#include "link/hextext.h"
#include "link/linkio.h"

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

QString outcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::None:
        return {};
    case Outcome::Silence:
        return QStringLiteral("silence");
    case Outcome::CutOff:
        return QStringLiteral("cut off");
    case Outcome::SendTimedOut:
        return QStringLiteral("send timed out");
    case Outcome::PeerClosed:
        return QStringLiteral("peer closed");
    case Outcome::LinkLost:
        return QStringLiteral("link lost");
    case Outcome::Exception:
        return QStringLiteral("exception");
    case Outcome::Mismatch:
        return QStringLiteral("mismatch");
    case Outcome::NoLink:
        return QStringLiteral("no link");
    case Outcome::Garbled:
        return QStringLiteral("garbled");
    case Outcome::EchoOnly:
        return QStringLiteral("local echo");
    case Outcome::AnsweredTwice:
        return QStringLiteral("answered twice");
    }
    return {};
}

QString exceptionName(std::uint8_t code)
{
    // The codes of the MODBUS application protocol, v1.1b3, section 7.
    switch (code) {
    case 0x01:
        return QStringLiteral("illegal function");
    case 0x02:
        return QStringLiteral("illegal data address");
    case 0x03:
        return QStringLiteral("illegal data value");
    case 0x04:
        return QStringLiteral("server device failure");
    case 0x05:
        return QStringLiteral("acknowledge");
    case 0x06:
        return QStringLiteral("server device busy");
    case 0x08:
        return QStringLiteral("memory parity error");
    case 0x0A:
        return QStringLiteral("gateway path unavailable");
    case 0x0B:
        return QStringLiteral("gateway target device failed to respond");
    }
    return QStringLiteral("unknown exception");
}

QString outcomeText(Outcome outcome, std::uint8_t exceptionCode)
{
    if (outcome == Outcome::Exception)
        return QStringLiteral("exception %1 (%2)")
            .arg(QString::asprintf("%02X", unsigned(exceptionCode)), exceptionName(exceptionCode));
    return outcomeName(outcome);
}

QString openFailureName(OpenFailure::Kind kind)
{
    switch (kind) {
    case OpenFailure::Kind::None:
    case OpenFailure::Kind::Other:
        break;
    case OpenFailure::Kind::NoSuchDevice:
        return QStringLiteral("no such device");
    case OpenFailure::Kind::PermissionDenied:
        return QStringLiteral("permission denied");
    case OpenFailure::Kind::InUse:
        return QStringLiteral("in use");
    case OpenFailure::Kind::NotSerialPort:
        return QStringLiteral("not a serial port");
    case OpenFailure::Kind::BadSetting:
        return QStringLiteral("bad setting");
    case OpenFailure::Kind::Refused:
        return QStringLiteral("connection refused");
    case OpenFailure::Kind::TimedOut:
        return QStringLiteral("timed out");
    case OpenFailure::Kind::Unreachable:
        return QStringLiteral("unreachable");
    case OpenFailure::Kind::BadAddress:
        return QStringLiteral("bad address");
    }
    return QStringLiteral("failed");
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
    case FrameEvent::Kind::Dropped:
        return QStringLiteral("DROP");
    }
    return QStringLiteral("?");
}

QString frameEventText(const FrameEvent &event)
{
    QString text = frameEventTag(event.kind);
    const bool exchange = event.kind == FrameEvent::Kind::Request || event.kind == FrameEvent::Kind::Response ||
                          event.kind == FrameEvent::Kind::NoResponse || event.kind == FrameEvent::Kind::Dropped;
    if (exchange)
        text += QStringLiteral(" slave %1:").arg(event.slave);
    if (!event.bytes.isEmpty()) {
        text += QLatin1Char(' ') + HexBytes(event.bytes, ' ');
    }
    if (!event.detail.isEmpty()) {
        if (event.kind == FrameEvent::Kind::NoResponse)
            text += QStringLiteral(" (%1 bytes: %2)").arg(QString::number(event.bytes.size()), event.detail);
        else if (event.kind == FrameEvent::Kind::Dropped)
            text += QStringLiteral(" (%1: %2)").arg(outcomeName(event.outcome), event.detail);
        else
            text += QLatin1Char(' ') + event.detail;
    }
    return text;
}

} // namespace relvix
