// set-address, reboot and factory-reset: the commands that change the reader as a whole.
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

// ---- set-address -------------------------------------------------------------------------

int runSetAddress(const Options &o)
{
    bool ok = false;
    const QString text = o.arguments.value(0);
    const int newAddress = text.toInt(&ok, 10);
    if (!ok || newAddress < 1 || newAddress > 254 || text != QString::number(newAddress)) {
        err(QStringLiteral("bad address '%1': expected a whole number from 1 to 254").arg(text));
        return Usage;
    }
    if (newAddress == o.address) {
        err(QStringLiteral("the new address %1 is the one given with --address; nothing was sent").arg(newAddress));
        return Usage;
    }
    if (const int refused =
            refuseWithoutConsent(o,
                                 QStringLiteral("Change the address of the reader at %1 (%2) to %3?")
                                     .arg(QString::number(o.address), o.link.describe(), QString::number(newAddress)),
                                 QStringLiteral("set-address"));
        refused >= 0)
        return refused;
    Session session(o);
    if (!session.open())
        return session.openFailed();
    CardReader &reader = session.reader();
    const auto target = static_cast<std::uint16_t>(newAddress);
    // Two readers at one address answer over each other, and a later set-address would move
    // both: whatever answers at the new address stops it. Once it is free, whatever answers
    // there afterwards is the reader that was moved.
    if (!o.force) {
        const auto there = reader.readIdentity(target);
        const ExchangeResult r = reader.lastResult();
        if (there || somethingHeard(r)) {
            const QString who = there ? QStringLiteral("a reader with S/N %1 answers there").arg(serialText(*there))
                                      : QStringLiteral("something answers there: %1").arg(outcomeLine(r));
            const QString message = QStringLiteral("address %1 is taken: %2; nothing was written (--force overrides)")
                                        .arg(QString::number(newAddress), who);
            err(message);
            if (o.json) {
                QJsonObject fields{{"from", o.address}, {"to", newAddress}};
                if (there)
                    fields.insert("serialThere", serialText(*there));
                else {
                    const QJsonObject heard = outcomeJson(r);
                    for (auto it = heard.begin(); it != heard.end(); ++it)
                        fields.insert(it.key(), it.value());
                }
                outError(NoAnswer, message, fields);
            }
            return NoAnswer;
        }
        if (linkLost(session))
            return session.failed(QStringLiteral("set-address"));
    }
    const QString what =
        QStringLiteral("address %1 -> %2").arg(QString::number(o.address), QString::number(newAddress));
    if (interrupted())
        return leftAtStop(o, what, Left::NotWritten, {{"from", o.address}, {"to", newAddress}});
    const bool echoed = reader.writeAddress(session.address(), static_cast<std::uint8_t>(newAddress));
    const ExchangeResult write = reader.lastResult();
    if (linkLost(session) || refusedBusy(write) || (NobodyAnswered(write) && write.outcome != Outcome::Silence))
        return session.failed(QStringLiteral("set-address: the write was refused"));
    // The proof is the reader answering at the new address with that address.
    const auto answer =
        interrupted() ? readBack(session, [&] { return reader.readAddress(target); }) : findReader(session, target);
    if (linkLost(session))
        return session.failed(QStringLiteral("set-address"));
    const bool verified = answer && *answer == newAddress;
    const QJsonObject fields{{"from", o.address}, {"to", newAddress}, {"echoed", echoed}, {"verified", verified}};
    if (interrupted())
        return leftAtStop(o, what, verified ? Left::Verified : Left::Written, fields);
    if (verified) {
        if (o.json)
            outJson(fields);
        else
            out(QStringLiteral("address %1 -> %2: verified")
                    .arg(QString::number(o.address), QString::number(newAddress)));
        return Done;
    }
    QString why = answer ? QStringLiteral("the reader at %1 reports address %2").arg(newAddress).arg(*answer)
                         : QStringLiteral("no answer at address %1 (%2)")
                               .arg(QString::number(newAddress), outcomeLine(reader.lastResult()));
    if (!echoed)
        why += QStringLiteral("; the write: %1").arg(outcomeLine(write));
    // The reader answered the write (an echo or an exception) but is not where it should be: 4.
    const bool answered = echoed || write.outcome == Outcome::Exception || answer;
    const int code = answered ? VerifyFailed : NoAnswer;
    const QString message = QStringLiteral("verification failed: %1").arg(why);
    err(message);
    if (o.json)
        outError(code, message, fields);
    else
        out(QStringLiteral("address %1 -> %2: NOT verified")
                .arg(QString::number(o.address), QString::number(newAddress)));
    return code;
}

// ---- reboot, factory-reset ---------------------------------------------------------------

int runReboot(const Options &o)
{
    const bool factory = o.command == QLatin1String("factory-reset");
    const QString what = factory ? QStringLiteral("Return the reader at %1 (%2) to its factory settings?")
                                 : QStringLiteral("Restart the reader at %1 (%2)?");
    if (const int refused = refuseWithoutConsent(o, what.arg(QString::number(o.address), o.link.describe()), o.command);
        refused >= 0)
        return refused;
    Session session(o);
    if (!session.open())
        return session.openFailed();
    CardReader &reader = session.reader();
    // Ready means: the same reader answers again, not just any.
    std::optional<Identity> before;
    if (o.wait) {
        before = reader.readIdentity(session.address());
        if (!before)
            return interrupted() ? interruptedExit()
                                 : session.failed(QStringLiteral("reading the serial number %1").arg(at(o)));
    }
    // A reboot cannot be read back: its echo is the check.
    if (interrupted())
        return leftAtStop(o, o.command, Left::NotWritten, {{"command", o.command}});
    const bool echoed = factory ? reader.factoryReset(session.address()) : reader.reboot(session.address());
    const ExchangeResult write = reader.lastResult();
    if (linkLost(session))
        return session.failed(o.command);
    if (interrupted())
        return leftAtStop(o, o.command, echoed ? Left::Verified : Left::Written,
                          {{"command", o.command}, {"echoed", echoed}, {"ready", false}});
    if (!o.wait) {
        if (!echoed)
            return session.failed(QStringLiteral("%1 %2: sent, not echoed").arg(o.command, at(o)));
        if (o.json)
            outJson({{"command", o.command}, {"echoed", true}});
        else
            out(QStringLiteral("%1 sent and echoed").arg(o.command));
        return Done;
    }
    // Factory settings may put the reader back at address 1: ask there first. Short
    // time-outs while waiting, so the time to ready is not rounded up to a whole one.
    QList<std::uint16_t> addresses{session.address()};
    if (factory && session.address() != 1)
        addresses.prepend(1);
    const ReaderLink::TimeoutScope shortTimeout(session.link(), std::min(o.timeoutMs, 200));
    QElapsedTimer waited;
    waited.start();
    std::optional<std::uint16_t> readyAt;
    QString other; // another reader that answered meanwhile
    while (!readyAt && !shouldStop() && !linkLost(session) && waited.elapsed() < qint64(o.waitTimeoutS) * 1000) {
        for (std::uint16_t a : addresses) {
            const auto id = reader.readIdentity(a);
            if (id && id->serialNumber == before->serialNumber) {
                readyAt = a;
                break;
            }
            if (id)
                other = QStringLiteral("a reader with S/N %1 answers at %2").arg(serialText(*id)).arg(a);
        }
        if (!readyAt)
            pauseMs(kRetryPauseMs);
    }
    if (linkLost(session))
        return session.failed(o.command);
    if (interrupted() && !readyAt)
        return leftAtStop(o, o.command, echoed ? Left::Verified : Left::Written,
                          {{"command", o.command}, {"echoed", echoed}, {"ready", false}});
    if (shouldStop() && !readyAt)
        return stopped();
    const qint64 ms = waited.elapsed();
    if (!readyAt) {
        const QString message =
            QStringLiteral("%1: S/N %2 did not answer within %3 s%4%5")
                .arg(o.command, serialText(*before), QString::number(o.waitTimeoutS),
                     other.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(other),
                     echoed ? QString() : QStringLiteral("; the request: %1").arg(outcomeLine(write)));
        err(message);
        if (o.json)
            outError(NoAnswer, message,
                     {{"command", o.command}, {"echoed", echoed}, {"ready", false}, {"readyMs", ms}});
        return NoAnswer;
    }
    if (o.json)
        outJson({{"command", o.command},
                 {"echoed", echoed},
                 {"ready", true},
                 {"readyMs", ms},
                 {"address", *readyAt},
                 {"serial", serialText(*before)}});
    else
        out(QStringLiteral("%1: ready after %2 ms at address %3 (S/N %4)")
                .arg(o.command, QString::number(ms), QString::number(*readyAt), serialText(*before)));
    return Done;
}

} // namespace relvix::cli
