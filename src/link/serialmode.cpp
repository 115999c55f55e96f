#include "link/serialmode.h"

#include <algorithm>

#include <QStringList>

namespace relvix {
namespace {

std::optional<qint32> parseBaud(const QString &field)
{
    if (field.isEmpty())
        return std::nullopt;
    qint64 v = 0;
    for (QChar c : field) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        v = v * 10 + (c.unicode() - u'0');
        if (v > 0x7FFFFFFF)
            return std::nullopt;
    }
    if (v == 0)
        return std::nullopt;
    return static_cast<qint32>(v);
}

std::optional<QSerialPort::Parity> parseParity(const QString &field)
{
    if (field.size() != 1)
        return std::nullopt;
    switch (field.at(0).toLower().unicode()) {
    case u'n':
        return QSerialPort::NoParity;
    case u'e':
        return QSerialPort::EvenParity;
    case u'o':
        return QSerialPort::OddParity;
    case u'm':
        return QSerialPort::MarkParity;
    case u's':
        return QSerialPort::SpaceParity;
    default:
        return std::nullopt;
    }
}

std::optional<QSerialPort::DataBits> parseDataBits(const QString &field)
{
    if (field == u"5")
        return QSerialPort::Data5;
    if (field == u"6")
        return QSerialPort::Data6;
    if (field == u"7")
        return QSerialPort::Data7;
    if (field == u"8")
        return QSerialPort::Data8;
    return std::nullopt;
}

std::optional<QSerialPort::StopBits> parseStopBits(const QString &field)
{
    if (field == u"1")
        return QSerialPort::OneStop;
    if (field == u"1.5")
        return QSerialPort::OneAndHalfStop;
    if (field == u"2")
        return QSerialPort::TwoStop;
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
    return (characters * 11 * 1'000'000 + b - 1) / b;
}

} // namespace relvix
