// raw, read and write: frames and holding registers as given.
#include "cli/commands.h"
#include "cli/commandsupport.h"

#include "link/commandtext.h"
#include "link/frameevent.h"
#include "link/portlist.h"
#include "link/serialmode.h"
#include "reader/busscan.h"
#include "reader/valuetext.h"
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <cmath>
#include <functional>

namespace relvix::cli {

std::optional<quint32> registerNumber(const QString &text, quint32 max)
{
    bool ok = false;
    quint32 value = 0;
    if (text.startsWith(QLatin1String("0x")) || text.startsWith(QLatin1String("0X"))) {
        const QString digits = text.mid(2);
        if (digits.isEmpty() || digits.size() > 8 || !StrictHexNumber(digits, 8))
            return std::nullopt;
        value = digits.toUInt(&ok, 16);
    } else {
        if (text.isEmpty() || !std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; }))
            return std::nullopt;
        value = text.toUInt(&ok, 10);
    }
    if (!ok || value > max)
        return std::nullopt;
    return value;
}

// ---- raw ---------------------------------------------------------------------------------

int runRaw(const Options &o)
{
    // The window's command text absorbs what it cannot read; a script deserves to hear of it.
    const QString functionText = o.arguments.value(0);
    const QString dataText = o.arguments.value(1);
    if (!StrictHexNumber(functionText, 2)) {
        err(QStringLiteral("bad FUNCTION '%1': expected one or two hex digits").arg(functionText));
        return Usage;
    }
    if (!StrictHexBytes(dataText) || dataText.size() > 2 * 1496) {
        err(QStringLiteral("bad DATA '%1': expected pairs of hex digits (at most 1496 bytes), no blanks or prefix")
                .arg(dataText));
        return Usage;
    }
    Session session(o);
    if (!session.open())
        return session.openFailed();
    const bool ok = session.reader().rawRequest(session.address(), CommandFunctionCode(functionText),
                                                CommandDataBytes(dataText), o.expect);
    const QString tx = session.link().state.transmitText.trimmed();
    const ExchangeResult &r = session.link().lastResult();
    // An exception is a frame the reader sent: shown as it came, beside its outcome.
    const QString rx = ok || r.outcome == Outcome::Exception ? HexBytes(session.reader().response(), ' ') : QString();
    if (ok) {
        if (o.json) {
            outJson({{"tx", tx}, {"rx", rx}, {"accepted", true}, {"responseMs", qint64(r.responseMs)}});
        } else {
            out(QStringLiteral("TX %1").arg(tx));
            out(QStringLiteral("RX %1").arg(rx));
        }
        return Done;
    }
    if (!o.json) {
        out(QStringLiteral("TX %1").arg(tx));
        if (!rx.isEmpty())
            out(QStringLiteral("RX %1").arg(rx));
    }
    const QByteArray partial = session.reader().response();
    QJsonObject fields{{"tx", tx}, {"rx", rx}, {"accepted", false}};
    if (rx.isEmpty() && !partial.isEmpty())
        fields.insert("received", HexBytes(partial, ' '));
    return session.failed(rx.isEmpty() && !partial.isEmpty()
                              ? QStringLiteral("no response accepted (received %1)").arg(HexBytes(partial, ' '))
                              : QStringLiteral("no response accepted"),
                          fields);
}

// ---- read, write -------------------------------------------------------------------------

int runRead(const Options &o)
{
    const auto first = registerNumber(o.arguments.value(0), 0xFFFF);
    const auto count = o.arguments.size() > 1 ? registerNumber(o.arguments.value(1), 125) : std::optional<quint32>(1);
    if (!first) {
        err(QStringLiteral("bad REGISTER '%1': expected 0 to 65535, decimal or 0x hex").arg(o.arguments.value(0)));
        return Usage;
    }
    if (!count || *count < 1) {
        err(QStringLiteral("bad COUNT '%1': expected 1 to 125").arg(o.arguments.value(1)));
        return Usage;
    }
    if (*first + *count > 0x10000) {
        err(QStringLiteral("bad COUNT %1: registers end at 65535").arg(*count));
        return Usage;
    }
    Session session(o);
    if (!session.open())
        return session.openFailed();
    const auto values = session.reader().readHolding(session.address(), static_cast<std::uint16_t>(*first),
                                                     static_cast<std::uint16_t>(*count));
    if (!values)
        return session.failed(
            QStringLiteral("reading %1 register(s) from 0x%2 %3")
                .arg(QString::number(*count), RegisterText(static_cast<std::uint16_t>(*first)), at(o)));
    if (o.json) {
        QJsonArray numbers, hex;
        for (std::uint16_t v : *values) {
            numbers.append(v);
            hex.append(RegisterText(v));
        }
        outJson({{"address", o.address}, {"register", qint64(*first)}, {"values", numbers}, {"hex", hex}});
    } else {
        for (int i = 0; i < values->size(); ++i)
            out(QStringLiteral("0x%1  0x%2  %3")
                    .arg(RegisterText(static_cast<std::uint16_t>(*first + quint32(i))), RegisterText(values->at(i)),
                         QString::number(values->at(i))));
    }
    return Done;
}

int runWrite(const Options &o)
{
    const auto reg = registerNumber(o.arguments.value(0), 0xFFFF);
    const auto value = registerNumber(o.arguments.value(1), 0xFFFF);
    if (!reg || !value) {
        err(QStringLiteral("bad %1 '%2': expected 0 to 65535, decimal or 0x hex")
                .arg(reg ? QStringLiteral("VALUE") : QStringLiteral("REGISTER"), o.arguments.value(reg ? 1 : 0)));
        return Usage;
    }
    const auto r16 = static_cast<std::uint16_t>(*reg), v16 = static_cast<std::uint16_t>(*value);
    if (const int refused = refuseWithoutConsent(
            o,
            QStringLiteral("Write 0x%1 to register 0x%2 of the reader at %3 (%4)?")
                .arg(RegisterText(v16), RegisterText(r16), QString::number(o.address), o.link.describe()),
            QStringLiteral("write"));
        refused >= 0)
        return refused;
    Session session(o);
    if (!session.open())
        return session.openFailed();
    if (!session.learnEcho(session.address()))
        return session.failed(QStringLiteral("nothing was written %1").arg(at(o)));
    const QString what =
        QStringLiteral("0x%1 <- 0x%2 (%3)").arg(RegisterText(r16), RegisterText(v16), QString::number(v16));
    const QJsonObject fields{{"address", o.address}, {"register", r16}, {"value", v16}};
    if (interrupted())
        return leftAtStop(o, what, Left::NotWritten, fields);
    const bool echoed = session.reader().writeHolding(session.address(), r16, v16);
    // The echo is the check; without it, after a stop signal, a read of the register may tell.
    if (interrupted() && !linkLost(session) && session.link().lastResult().outcome != Outcome::Exception) {
        QJsonObject state = fields;
        state.insert("echoed", echoed);
        const auto back =
            echoed ? std::nullopt
                   : readBack(session, [&] { return session.reader().readHolding(session.address(), r16, 1); });
        const bool readAsWritten = back && back->size() == 1 && back->at(0) == v16;
        return leftAtStop(o, what, echoed || readAsWritten ? Left::Verified : Left::Written, state);
    }
    if (!echoed)
        return session.failed(
            QStringLiteral("writing 0x%1 to register 0x%2 %3").arg(RegisterText(v16), RegisterText(r16), at(o)));
    if (o.json)
        outJson({{"address", o.address}, {"register", r16}, {"value", v16}, {"echoed", true}});
    else
        out(QStringLiteral("0x%1 <- 0x%2 (%3): echoed")
                .arg(RegisterText(r16), RegisterText(v16), QString::number(v16)));
    return Done;
}

} // namespace relvix::cli
