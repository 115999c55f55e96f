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

QString serialText(const Identity &id)
{
    return SerialNumberDigits(id);
}

QString versionText(const Identity &id)
{
    return VersionDigits(id);
}

QString blockHex(const DataBlock &block)
{
    return HexBytes(QByteArrayView(block.data(), qsizetype(block.size())));
}

bool allZero(const DataBlock &block)
{
    return std::all_of(block.begin(), block.end(), [](std::uint8_t b) { return b == 0; });
}

bool linkLost(const Session &session)
{
    const Outcome o = const_cast<Session &>(session).link().lastResult().outcome;
    return o == Outcome::LinkLost || o == Outcome::PeerClosed;
}

int stopped()
{
    return interrupted() ? interruptedExit() : OutputFailed;
}

int refuseWithoutConsent(const Options &options, const QString &question, const QString &what)
{
    switch (confirm(options, question)) {
    case Consent::Yes:
        return -1;
    case Consent::No:
    case Consent::Interrupted:
        err(QStringLiteral("%1: not confirmed; nothing was sent").arg(what));
        if (options.json)
            outError(interruptedExit(), QStringLiteral("%1: not confirmed; nothing was sent").arg(what));
        return interruptedExit();
    case Consent::NeedYes: {
        const QString message =
            QStringLiteral("%1 changes the reader: give --yes when not on a terminal; nothing was sent").arg(what);
        err(message);
        if (options.json)
            outError(Usage, message);
        return Usage;
    }
    }
    return Usage;
}

std::optional<std::uint8_t> findReader(Session &session, std::uint16_t address, int *tries)
{
    const int most = 1 + session.options().retries;
    for (int attempt = 1; attempt <= most; ++attempt) {
        if (attempt > 1 && !pauseMs(kRetryPauseMs))
            return std::nullopt;
        if (tries)
            *tries = attempt;
        if (const auto found = session.reader().readAddress(address))
            return found;
        const ExchangeResult &r = session.link().lastResult();
        if (shouldStop() || !NobodyAnswered(r))
            return std::nullopt;
    }
    return std::nullopt;
}

QString triesText(int tries)
{
    return tries == 1 ? QStringLiteral("1 try") : QStringLiteral("%1 tries").arg(tries);
}

QString notFound(Session &session, int tries)
{
    const Options &o = session.options();
    const ExchangeResult &r = session.link().lastResult();
    if (r.outcome == Outcome::AnsweredTwice || r.outcome == Outcome::Garbled)
        return QStringLiteral("address %1: two readers answer").arg(o.address);
    if (r.outcome == Outcome::Exception && IsGatewayException(r.exceptionCode))
        return QStringLiteral("no reader behind the gateway at address %1 in %2")
            .arg(QString::number(o.address), triesText(tries));
    if (r.outcome == Outcome::Exception)
        return QStringLiteral("the reader at address %1 refused the address read").arg(o.address);
    return QStringLiteral("no answer at address %1 in %2").arg(QString::number(o.address), triesText(tries));
}

bool refusedBusy(const ExchangeResult &r)
{
    return r.outcome == Outcome::Exception && r.exceptionCode == 0x06;
}

int saidAtStop(const Options &o, const QString &line, QJsonObject fields)
{
    err(QStringLiteral("interrupted by %1").arg(interruptName()));
    fields.insert("interrupted", true);
    fields.insert("signal", interruptName());
    if (o.json)
        outError(interruptedExit(), line, fields);
    else
        out(line);
    return interruptedExit();
}

int leftAtStop(const Options &o, const QString &what, Left left, QJsonObject fields)
{
    fields.insert("written", left != Left::NotWritten);
    fields.insert("verified", left == Left::Verified);
    const QString state = left == Left::NotWritten ? QStringLiteral("not written")
                          : left == Left::Written  ? QStringLiteral("written, not verified")
                                                   : QStringLiteral("written and verified");
    return saidAtStop(o, QStringLiteral("%1: %2: interrupted").arg(what, state), fields);
}

QJsonObject identityJson(int address, const std::optional<Identity> &id)
{
    QJsonObject o{{"address", address}};
    if (id) {
        o.insert("serial", serialText(*id));
        o.insert("version", versionText(*id));
    }
    return o;
}

QString uidText(const Options &o, const DataBlock &block, int format)
{
    return UidText(block, format, o.lsb);
}

QJsonObject cardJson(const Options &o, const DataBlock &block)
{
    QJsonObject card{{"bytes", blockHex(block)}};
    if (o.allFormats) {
        QJsonObject formats;
        for (int i = 0; i < kUidFormatCount; ++i)
            formats.insert(QString::fromLatin1(kUidFormats[i].name), uidText(o, block, i));
        card.insert("formats", formats);
    } else {
        card.insert("format", QString::fromLatin1(kUidFormats[o.format].name));
        card.insert("uid", uidText(o, block, o.format));
    }
    card.insert("lsb", o.lsb);
    return card;
}

QStringList cardLines(const Options &o, const DataBlock &block, const QString &word)
{
    if (!o.allFormats)
        return {QStringLiteral("%1 %2").arg(word, uidText(o, block, o.format))};
    QStringList lines;
    for (int i = 0; i < kUidFormatCount; ++i)
        lines << QStringLiteral("%1 %2 %3")
                     .arg(word, QString::fromLatin1(kUidFormats[i].name).leftJustified(6), uidText(o, block, i));
    return lines;
}

QJsonObject keysJson(const Options &o, const DataBlock &block)
{
    return {{"keys", KeypadText(block, o.keyHex)}, {"bytes", blockHex(block)}};
}

QJsonObject ioJson(const IoState &io)
{
    return {{"inputs", RegisterText(io.inputs)},
            {"inputBits", bitsText(io.inputs)},
            {"outputs", RegisterText(io.outputs)},
            {"outputBits", bitsText(io.outputs)}};
}

void printIo(const Options &o, const IoState &io)
{
    if (o.json) {
        outJson(ioJson(io));
        return;
    }
    out(QStringLiteral("DI %1 %2").arg(RegisterText(io.inputs), bitsText(io.inputs)));
    out(QStringLiteral("DO %1 %2").arg(RegisterText(io.outputs), bitsText(io.outputs)));
}

QString at(const Options &o)
{
    return QStringLiteral("at address %1").arg(o.address);
}

} // namespace relvix::cli
