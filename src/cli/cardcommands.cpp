// card, clear, io and set-do: the card and keypad blocks and the digital I/O.
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

// ---- card --------------------------------------------------------------------------------

namespace {

int watchCards(const Options &o, Session &session)
{
    CardReader &reader = session.reader();
    const std::uint16_t address = session.address();
    err(QStringLiteral("watching the reader at %1 (%2) for new cards and keypad codes every %3 ms; Ctrl+C stops")
            .arg(QString::number(o.address), o.link.describe(), QString::number(o.intervalMs)));
    // The blocks hold the last card and code the reader saw, from before the watch too: the
    // first read of each block is where it starts from, not an event. With --clear both
    // start empty.
    std::optional<DataBlock> lastCard, lastKeys;
    if (o.clear) {
        if (reader.clearCardBlock(address))
            lastCard = DataBlock{};
        if (reader.clearKeypadBlock(address))
            lastKeys = DataBlock{};
    }
    int events = 0;
    bool everAnswered = lastCard || lastKeys;
    bool answering = true;
    QString lastFailure;
    QElapsedTimer elapsed;
    elapsed.start();
    bool first = true;
    const auto timeUp = [&] {
        return (o.count > 0 && events >= o.count) ||
               (o.forSeconds > 0 && double(elapsed.elapsed()) >= o.forSeconds * 1000);
    };
    // With --reconnect a lost link is opened again, after 1 s and then twice as long each
    // time up to 30 s; the blocks seen before stay the baseline, so a card presented while
    // the link was down is reported once it is back, and an old one is not reported again.
    const auto reconnect = [&] {
        const QString why = session.lostText();
        err(QStringLiteral("%1; reconnecting").arg(why));
        if (o.json)
            outJson({{"time", isoNow()}, {"event", "link-lost"}, {"reason", why}});
        session.close();
        int pause = 1000, attempts = 0;
        while (!shouldStop() && !timeUp()) {
            if (!pauseMs(pause))
                return false;
            ++attempts;
            if (session.open()) {
                err(QStringLiteral("the link to %1 is back after %2 attempt(s)")
                        .arg(o.link.describe(), QString::number(attempts)));
                if (o.json)
                    outJson({{"time", isoNow()}, {"event", "link-back"}, {"attempts", attempts}});
                return true;
            }
            pause = std::min(pause * 2, 30000);
        }
        return false;
    };
    while (!timeUp() && (o.reconnect || !linkLost(session))) {
        if (linkLost(session) && !reconnect())
            break;
        if (!first && !pauseMs(o.intervalMs))
            break;
        first = false;
        const auto card = reader.readCardBlock(address);
        const QString cardFailure = card ? QString() : outcomeLine(reader.lastResult());
        const auto keys = linkLost(session) ? std::nullopt : reader.readKeypadBlock(address);
        if (shouldStop())
            break;
        if (linkLost(session)) {
            if (o.reconnect)
                continue;
            break;
        }
        const bool ok = card && keys;
        everAnswered = everAnswered || card || keys;
        QString failure = ok ? QString() : (!card ? cardFailure : outcomeLine(reader.lastResult()));
        if (const auto lateMs = session.lateAnswerMs(static_cast<std::uint8_t>(address)); !ok && lateMs)
            failure += QStringLiteral("; an answer came %1 ms after its request, later than the time-out of %2 ms: "
                                      "raise --timeout-ms")
                           .arg(QString::number(*lateMs), QString::number(o.timeoutMs));
        // Said once for each change: the late answer's time may vary from poll to poll.
        const QString kind = ok ? QString() : failure.section(QLatin1Char(';'), 0, 0);
        if (ok != answering || (!ok && kind != lastFailure)) {
            answering = ok;
            lastFailure = kind;
            err(ok ? QStringLiteral("the reader answers again")
                   : QStringLiteral("the reader does not answer: %1").arg(failure));
        }
        const auto consider = [&](const std::optional<DataBlock> &block, std::optional<DataBlock> &last, bool isCard) {
            if (!block)
                return;
            const bool isNew = last && !allZero(*block) && *last != *block;
            last = block;
            if (!isNew || timeUp())
                return;
            ++events;
            if (o.json) {
                QJsonObject e{{"time", isoNow()}, {"event", isCard ? "card" : "keys"}};
                e.insert(isCard ? "card" : "keypad", isCard ? cardJson(o, *block) : keysJson(o, *block));
                outJson(e);
            } else {
                const QStringList lines =
                    isCard ? cardLines(o, *block, QStringLiteral("card"))
                           : QStringList{QStringLiteral("keys %1").arg(KeypadText(*block, o.keyHex))};
                for (const QString &line : lines)
                    out(isoNow() + QLatin1Char(' ') + line);
            }
            if (o.clear && (isCard ? reader.clearCardBlock(address) : reader.clearKeypadBlock(address)))
                last = DataBlock{};
        };
        consider(card, lastCard, true);
        consider(keys, lastKeys, false);
    }
    if (linkLost(session) || (o.reconnect && !session.link().isOpen()))
        return shouldStop() ? stopped() : session.failed(QStringLiteral("watch"));
    if (shouldStop() && !timeUp())
        return stopped();
    if (!everAnswered)
        return session.failed(QStringLiteral("the reader %1 never answered during the watch").arg(at(o)));
    return outputFailed() ? OutputFailed : Done;
}

} // namespace

int runCard(const Options &o)
{
    Session session(o);
    if (!session.open())
        return session.openFailed();
    if (o.watch)
        return watchCards(o, session);
    const auto card = session.reader().readCardBlock(session.address());
    if (!card)
        return interrupted() ? interruptedExit()
                             : session.failed(QStringLiteral("reading the card block %1").arg(at(o)));
    const auto keys = session.reader().readKeypadBlock(session.address());
    if (!keys)
        return interrupted() ? interruptedExit()
                             : session.failed(QStringLiteral("reading the keypad block %1").arg(at(o)));
    if (o.json) {
        outJson({{"card", cardJson(o, *card)}, {"keypad", keysJson(o, *keys)}});
    } else {
        for (const QString &line : cardLines(o, *card))
            out(line);
        out(QStringLiteral("keys %1").arg(KeypadText(*keys, o.keyHex)));
    }
    return Done;
}

// ---- clear, io, set-do -------------------------------------------------------------------

int runClear(const Options &o)
{
    Session session(o);
    if (!session.open())
        return session.openFailed();
    if (!session.reader().clearCardBlock(session.address()))
        return session.failed(QStringLiteral("clearing the card block %1").arg(at(o)));
    if (interrupted())
        return saidAtStop(o, QStringLiteral("card block cleared, keypad block not cleared: interrupted"),
                          {{"cardCleared", true}, {"keypadCleared", false}});
    if (!session.reader().clearKeypadBlock(session.address()))
        return session.failed(QStringLiteral("clearing the keypad block %1").arg(at(o)), {{"cardCleared", true}});
    if (o.json)
        outJson({{"cardCleared", true}, {"keypadCleared", true}});
    else
        out(QStringLiteral("card block cleared, keypad block cleared"));
    return Done;
}

int runIo(const Options &o)
{
    Session session(o);
    if (!session.open())
        return session.openFailed();
    const auto io = session.reader().readIo(session.address());
    if (!io)
        return session.failed(QStringLiteral("reading the inputs and outputs %1").arg(at(o)));
    printIo(o, *io);
    return Done;
}

int runSetDo(const Options &o)
{
    const auto value = StrictHexNumber(o.arguments.value(0), 4);
    if (!value) {
        err(QStringLiteral("bad outputs '%1': expected one to four hex digits").arg(o.arguments.value(0)));
        return Usage;
    }
    const auto outputs = static_cast<std::uint16_t>(*value);
    if (const int refused =
            refuseWithoutConsent(o,
                                 QStringLiteral("Set the outputs of the reader at %1 (%2) to %3?")
                                     .arg(QString::number(o.address), o.link.describe(), RegisterText(outputs)),
                                 QStringLiteral("set-do"));
        refused >= 0)
        return refused;
    Session session(o);
    if (!session.open())
        return session.openFailed();
    if (!session.learnEcho(session.address()))
        return session.failed(QStringLiteral("nothing was written %1").arg(at(o)));
    const QString what = QStringLiteral("outputs <- %1").arg(RegisterText(outputs));
    if (interrupted())
        return leftAtStop(o, what, Left::NotWritten, {{"outputs", RegisterText(outputs)}});
    const bool written = session.reader().writeOutputs(session.address(), outputs);
    const ExchangeResult write = session.link().lastResult();
    if (linkLost(session) || refusedBusy(write))
        return session.failed(QStringLiteral("set-do: the write was refused"));
    const auto io = readBack(session, [&] { return session.reader().readIo(session.address()); });
    if (interrupted() && !linkLost(session)) {
        QJsonObject fields{{"outputs", RegisterText(outputs)}, {"echoed", written}};
        if (io)
            fields.insert("read", ioJson(*io));
        return leftAtStop(o, what, io && io->outputs == outputs ? Left::Verified : Left::Written, fields);
    }
    if (!io) {
        // The reader answered the write (an echo or an exception) but not the read-back: 4.
        const bool answered = written || write.outcome == Outcome::Exception;
        return session.failed(
            QStringLiteral("the outputs could not be read back%1")
                .arg(written ? QString() : QStringLiteral(" (the write: %1)").arg(outcomeLine(write))),
            {}, linkLost(session) ? LinkFailed : (answered ? VerifyFailed : NoAnswer));
    }
    if (io->outputs != outputs) {
        const QString message =
            QStringLiteral("verification failed: the outputs read %1, not %2%3")
                .arg(RegisterText(io->outputs), RegisterText(outputs),
                     written ? QString() : QStringLiteral(" (the write: %1)").arg(outcomeLine(write)));
        err(message);
        if (o.json)
            outError(VerifyFailed, message, ioJson(*io));
        else
            printIo(o, *io);
        return VerifyFailed;
    }
    printIo(o, *io);
    return Done;
}

} // namespace relvix::cli
