#include "simcommands.h"

#include "link/hextext.h"

#include <QRegularExpression>

#include <utility>

namespace relvix::sim {

namespace {

std::optional<bool> parseSwitch(const QString &word)
{
    const QString w = word.toLower();
    if (w == u"on" || w == u"1" || w == u"true" || w == u"yes")
        return true;
    if (w == u"off" || w == u"0" || w == u"false" || w == u"no")
        return false;
    return std::nullopt;
}

std::optional<int> parseInt(const QString &word, int min, int max)
{
    bool ok = false;
    const int value = word.toInt(&ok, 0); // decimal, or hex with 0x
    if (!ok || value < min || value > max)
        return std::nullopt;
    return value;
}

QString hex4(quint16 value)
{
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0')).toUpper();
}

QString keypadDigits(const QByteArray &keys)
{
    QString text;
    for (char c : keys) {
        const auto key = static_cast<std::uint8_t>(c);
        if (key == 0)
            break;
        text.append(key >= 10 ? QLatin1Char('0') : QChar(u'0' + key));
    }
    return text;
}

QString readerState(const VirtualReader &r)
{
    return QStringLiteral("address %1 serial %2%3 version %4 inputs %5 outputs %6 uid %7 keys %8 "
                          "reboots %9 factory-resets %10")
        .arg(QString::number(r.address()), hex4(static_cast<quint16>(r.serialNumber() >> 16)),
             hex4(static_cast<quint16>(r.serialNumber() & 0xFFFF)), hex4(r.version()), hex4(r.inputs()),
             hex4(r.outputs()), QString::fromLatin1(r.uidBytes().toHex().toUpper()), keypadDigits(r.keyBytes()),
             QString::number(r.rebootCount()), QString::number(r.factoryResetCount()));
}

} // namespace

void ReaderSpec::applyTo(VirtualReader &reader) const
{
    reader.setAddress(address);
    reader.setSerialNumber(serial);
    reader.setVersion(version);
    reader.setLineSpeed(speed);
    reader.setAnswerDelayMs(turnaroundMs);
}

std::optional<ReaderSpec> parseReaderSpec(const QString &text, QString *error)
{
    const QStringList fields = text.split(QLatin1Char(':'));
    ReaderSpec wanted;
    const auto address = fields.size() >= 3 ? parseInt(fields[0], 1, 254) : std::nullopt;
    const auto serial = fields.size() >= 3 ? parseHexNumber(fields[1], 8) : std::nullopt;
    const auto version = fields.size() >= 3 ? parseHexNumber(fields[2], 4) : std::nullopt;
    const auto speed =
        fields.size() >= 4 && !fields[3].isEmpty() ? parseInt(fields[3], 1, 4000000) : std::optional<int>(0);
    const auto turnaround = fields.size() == 5 ? parseInt(fields[4], 0, 600000) : std::optional<int>(0);
    if (fields.size() < 3 || fields.size() > 5 || !address || !serial || !version || !speed || !turnaround) {
        if (error)
            *error = QStringLiteral("bad reader %1: expected ADDRESS:SERIAL:VERSION[:SPEED[:TURNAROUND_MS]], e.g. "
                                    "5:0012ABCD:1A05, 7:00000007:0100:9600 or 5:00000005:0100::40 (address 1..254, "
                                    "hex serial and version, speed in baud, turnaround in ms)")
                         .arg(text);
        return std::nullopt;
    }
    wanted.address = static_cast<std::uint8_t>(*address);
    wanted.serial = *serial;
    wanted.version = static_cast<quint16>(*version);
    wanted.speed = *speed;
    wanted.turnaroundMs = *turnaround;
    return wanted;
}

QByteArray parseHexBytes(const QString &text, bool *ok)
{
    QString digits = text;
    digits.remove(QRegularExpression(QStringLiteral("\\s")));
    const auto bytes = StrictHexBytes(digits);
    if (ok)
        *ok = bytes.has_value();
    return bytes.value_or(QByteArray());
}

std::optional<quint32> parseHexNumber(const QString &text, int maxDigits)
{
    return StrictHexNumber(text, maxDigits);
}

bool applyFaultWords(FaultScript &faults, const QStringList &words, QString *error)
{
    FaultScript f = faults;
    auto fail = [&](const QString &message) {
        if (error)
            *error = message;
        return false;
    };
    for (int i = 0; i < words.size(); ++i) {
        const QString key = words[i].toLower();
        const bool hasNext = i + 1 < words.size();
        const QString next = hasNext ? words[i + 1] : QString();
        auto number = [&](int min, int max) -> std::optional<int> {
            if (!hasNext)
                return std::nullopt;
            ++i;
            return parseInt(next, min, max);
        };
        auto flag = [&]() -> bool {
            // A switch takes an optional on/off; bare, it means on.
            if (hasNext) {
                if (const auto on = parseSwitch(next)) {
                    ++i;
                    return *on;
                }
            }
            return true;
        };
        if (key == u"none" || key == u"off" || key == u"clear") {
            f = FaultScript{};
        } else if (key == u"delay" || key == u"gap" || key == u"chunk") {
            const auto value = number(0, 600000);
            if (!value)
                return fail(QStringLiteral("fault %1 needs a number of %2")
                                .arg(key, key == u"chunk" ? QStringLiteral("bytes") : QStringLiteral("milliseconds")));
            (key == u"delay" ? f.delayMs : key == u"gap" ? f.gapMs : f.chunkSize) = *value;
        } else if (key == u"noise-before" || key == u"noise-after") {
            bool ok = false;
            const QByteArray bytes = hasNext ? parseHexBytes(next, &ok) : QByteArray();
            if (!ok)
                return fail(QStringLiteral("fault %1 needs hex bytes, e.g. FF00").arg(key));
            ++i;
            (key == u"noise-before" ? f.noiseBefore : f.noiseAfter) = bytes;
        } else if (key == u"wrong-crc") {
            f.wrongCrc = flag();
        } else if (key == u"silent") {
            f.silent = flag();
        } else if (key == u"endless") {
            f.endless = flag();
        } else if (key == u"exception") {
            const auto value = number(0, 255);
            if (!value)
                return fail(QStringLiteral("fault exception needs a code 0..255 (0 off)"));
            f.exceptionCode = *value;
        } else if (key == u"close-after") {
            const auto value = number(-1, 1 << 30);
            if (!value)
                return fail(QStringLiteral("fault close-after needs a byte count (-1 off)"));
            f.closeAfterBytes = *value;
        } else if (key == u"answer-as") {
            const auto value = number(-1, 255);
            if (!value)
                return fail(QStringLiteral("fault answer-as needs an address 0..255 (-1 off)"));
            f.answerAsAddress = *value;
        } else if (key == u"truncate" || key == u"for") {
            const auto value = number(-1, 1 << 30);
            if (!value)
                return fail(QStringLiteral("fault %1 needs a count (-1 off)").arg(key));
            (key == u"truncate" ? f.truncateTo : f.faultyRequests) = *value;
        } else {
            return fail(QStringLiteral("unknown fault: %1").arg(words[i]));
        }
    }
    faults = f;
    return true;
}

QString commandHelp()
{
    return QStringLiteral(
        "commands, one a line; uid .. show act on the selected reader (the first one until\n"
        "\"reader N\" selects another), fault and the rest on the whole line:\n"
        "  uid HEX            present a card (up to 32 hex digits; no digits: no card)\n"
        "  keys DIGITS        type a keypad code (0 is sent as 10; no digits: empty)\n"
        "  inputs HEX         set the digital inputs (4 hex digits)\n"
        "  outputs HEX        set the digital outputs\n"
        "  address N          set the slave address (1..254)\n"
        "  serial HEX         set the serial number (8 hex digits)\n"
        "  version HEX        set the firmware version (4 hex digits)\n"
        "  speed BAUD|any     the line speed it answers at on the pseudo-terminal (any: every speed)\n"
        "  turnaround MS      how long it takes to answer (0: at once)\n"
        "  show               print its state\n"
        "  reader N           select the reader at address N for uid .. show (again: the next one\n"
        "                     there, when readers share it)\n"
        "  reader add A:SERIAL:VERSION[:SPEED[:TURNAROUND_MS]]\n"
        "                     put one more reader on the line, and select it; readers may share an\n"
        "                     address, and then each answers\n"
        "  readers            list the readers on the line with their speeds (* the selected one)\n"
        "  fault WORDS        none | delay MS | gap MS | chunk N | noise-before HEX | noise-after HEX\n"
        "                     | wrong-crc [on|off] | exception CODE | silent [on|off] | endless [on|off]\n"
        "                     | close-after N | answer-as N | truncate N (send only N bytes)\n"
        "                     | for N (the faults hold for the next N requests only)\n"
        "                     (several may follow one another)\n"
        "  line MODE          normal | echo (the tool's bytes come back to it) | half-duplex\n"
        "                     (overlapping transmissions garble each other, at wire times)\n"
        "                     | echo,half-duplex; bare, prints the line's state\n"
        "  line-baud BAUD     the speed of wire times over TCP (default 19200)\n"
        "  noise RATE         stray random bytes to the tool, about RATE a second (0 none)\n"
        "  gateway on|off|MS  over TCP an address without a reader answers exception 0B\n"
        "                     after MS (on: 50 ms)\n"
        "  inject HEX         send raw bytes to everyone connected now\n"
        "  close-pty          close the pseudo-terminal\n"
        "  log on|off         frames with timestamps on standard error\n"
        "  quit               end the program\n");
}

CommandResult runCommand(SimServer &server, const QString &line, QString *output, CommandContext *context)
{
    const QString trimmed = line.trimmed();
    if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char('#')))
        return CommandResult::Ok;
    QStringList words = trimmed.split(QRegularExpression(QStringLiteral("\\s+")));
    const QString verb = words.takeFirst().toLower();
    const QString rest = words.join(QString());
    auto fail = [&](const QString &message) {
        if (output)
            *output = message;
        return CommandResult::Error;
    };
    auto say = [&](const QString &message) {
        if (output)
            *output = message;
        return CommandResult::Ok;
    };
    const int selected = context ? context->reader : 0;
    auto withSelected = [&](const std::function<void(VirtualReader &)> &fn) { server.withReader(selected, fn); };
    // Another reader than the selected one at this address: two would answer at once.
    auto takenByOther = [&](int address) {
        const QList<std::uint8_t> addresses = server.readerAddresses();
        for (int i = 0; i < addresses.size(); ++i) {
            if (i != selected && addresses[i] == address)
                return true;
        }
        return false;
    };

    if (verb == u"quit" || verb == u"exit")
        return CommandResult::Quit;
    if (verb == u"help")
        return say(commandHelp());
    if (verb == u"uid") {
        bool ok = false;
        const QByteArray uid = parseHexBytes(rest, &ok);
        if (!ok || uid.size() > 16)
            return fail(QStringLiteral("uid needs up to 32 hex digits, an even count"));
        withSelected([&](VirtualReader &r) { r.presentCard(uid); });
        return CommandResult::Ok;
    }
    if (verb == u"keys") {
        bool ok = false;
        withSelected([&](VirtualReader &r) { ok = r.typeKeyDigits(rest); });
        return ok ? CommandResult::Ok : fail(QStringLiteral("keys needs up to 16 decimal digits"));
    }
    if (verb == u"inputs" || verb == u"outputs" || verb == u"version" || verb == u"serial") {
        const int digits = verb == u"serial" ? 8 : 4;
        const auto value = parseHexNumber(rest, digits);
        if (!value)
            return fail(QStringLiteral("%1 needs up to %2 hex digits").arg(verb, QString::number(digits)));
        withSelected([&](VirtualReader &r) {
            if (verb == u"inputs")
                r.setInputs(static_cast<std::uint16_t>(*value));
            else if (verb == u"outputs")
                r.setOutputs(static_cast<std::uint16_t>(*value));
            else if (verb == u"version")
                r.setVersion(static_cast<std::uint16_t>(*value));
            else
                r.setSerialNumber(*value);
        });
        return CommandResult::Ok;
    }
    if (verb == u"address") {
        const auto value = words.size() == 1 ? parseInt(words[0], 1, 254) : std::nullopt;
        if (!value)
            return fail(QStringLiteral("address needs a number 1..254"));
        const bool shared = takenByOther(*value);
        withSelected([&](VirtualReader &r) { r.setAddress(static_cast<std::uint8_t>(*value)); });
        return shared ? say(QStringLiteral("address %1 is shared: each reader there answers").arg(*value))
                      : CommandResult::Ok;
    }
    if (verb == u"fault") {
        FaultScript faults = server.faults();
        QString error;
        if (words.isEmpty() || !applyFaultWords(faults, words, &error))
            return fail(error.isEmpty() ? QStringLiteral("fault needs words, e.g. fault delay 200, fault none")
                                        : error);
        server.setFaults(faults);
        return CommandResult::Ok;
    }
    if (verb == u"inject") {
        bool ok = false;
        const QByteArray bytes = parseHexBytes(rest, &ok);
        if (!ok || bytes.isEmpty())
            return fail(QStringLiteral("inject needs hex bytes"));
        server.inject(bytes);
        return CommandResult::Ok;
    }
    if (verb == u"close-pty") {
        server.closePty();
        return CommandResult::Ok;
    }
    if (verb == u"log") {
        const auto on = words.size() == 1 ? parseSwitch(words[0]) : std::nullopt;
        if (!on)
            return fail(QStringLiteral("log needs on or off"));
        server.setLogToStderr(*on);
        return CommandResult::Ok;
    }
    if (verb == u"speed") {
        const auto value = words.size() != 1              ? std::nullopt
                           : words[0].toLower() == u"any" ? std::optional<int>(0)
                                                          : parseInt(words[0], 1, 4000000);
        if (!value)
            return fail(QStringLiteral("speed needs a speed in baud, or any"));
        withSelected([&](VirtualReader &r) { r.setLineSpeed(*value); });
        return CommandResult::Ok;
    }
    if (verb == u"reader") {
        if (words.size() == 2 && words[0].toLower() == u"add") {
            QString error;
            const auto wanted = parseReaderSpec(words[1], &error);
            if (!wanted)
                return fail(error);
            const bool shared = server.readerAddresses().contains(wanted->address);
            const int index = server.addReader([&](VirtualReader &r) { wanted->applyTo(r); });
            if (context)
                context->reader = index;
            return shared ? say(QStringLiteral("address %1 is shared: each reader there answers").arg(wanted->address))
                          : CommandResult::Ok;
        }
        const auto address = words.size() == 1 ? parseInt(words[0], 0, 255) : std::nullopt;
        const QList<std::uint8_t> addresses = server.readerAddresses();
        // The first reader there, or the next after the selected one when that is there too.
        int index = address ? static_cast<int>(addresses.indexOf(*address)) : -1;
        if (index >= 0 && selected < addresses.size() && addresses[selected] == *address) {
            const qsizetype next = addresses.indexOf(*address, selected + 1);
            index = static_cast<int>(next >= 0 ? next : index);
        }
        if (!address)
            return fail(
                QStringLiteral("reader needs an address, or add ADDRESS:SERIAL:VERSION[:SPEED[:TURNAROUND_MS]]"));
        if (index < 0)
            return fail(QStringLiteral("no reader at address %1 (readers lists them)").arg(*address));
        if (context)
            context->reader = index;
        return CommandResult::Ok;
    }
    if (verb == u"readers") {
        QStringList lines;
        const int count = static_cast<int>(server.readerAddresses().size());
        for (int i = 0; i < count; ++i) {
            server.withReader(i, [&](VirtualReader &r) {
                lines << QStringLiteral("%1 %2 speed %3%4")
                             .arg(i == selected ? QStringLiteral("*") : QStringLiteral(" "), readerState(r),
                                  r.lineSpeed() == 0 ? QStringLiteral("any") : QString::number(r.lineSpeed()),
                                  r.answerDelayMs() == 0 ? QString()
                                                         : QStringLiteral(" turnaround %1").arg(r.answerDelayMs()));
            });
        }
        return say(lines.join(QLatin1Char('\n')));
    }
    if (verb == u"turnaround") {
        const auto value = words.size() == 1 ? parseInt(words[0], 0, 600000) : std::nullopt;
        if (!value)
            return fail(QStringLiteral("turnaround needs milliseconds, 0..600000"));
        withSelected([&](VirtualReader &r) { r.setAnswerDelayMs(*value); });
        return CommandResult::Ok;
    }
    if (verb == u"line") {
        if (words.isEmpty()) {
            const int gateway = server.gatewayDelayMs();
            return say(QStringLiteral("line %1 line-baud %2 noise %3 gateway %4")
                           .arg(lineModeName(server.lineMode()), QString::number(server.lineBaud()),
                                QString::number(server.noiseRate()),
                                gateway < 0 ? QStringLiteral("off") : QString::number(gateway)));
        }
        const auto mode = words.size() == 1 ? parseLineMode(words[0]) : std::nullopt;
        if (!mode)
            return fail(QStringLiteral("line needs normal, echo, half-duplex or echo,half-duplex"));
        server.setLineMode(*mode);
        return CommandResult::Ok;
    }
    if (verb == u"line-baud") {
        const auto value = words.size() == 1 ? parseInt(words[0], 1, 4000000) : std::nullopt;
        if (!value)
            return fail(QStringLiteral("line-baud needs a speed in baud"));
        server.setLineBaud(*value);
        return CommandResult::Ok;
    }
    if (verb == u"noise") {
        bool ok = false;
        const double rate = words.size() == 1 ? words[0].toDouble(&ok) : 0;
        if (!ok || !(rate >= 0) || rate > 1000)
            return fail(QStringLiteral("noise needs a rate of bytes a second, 0..1000"));
        server.setNoiseRate(rate);
        return CommandResult::Ok;
    }
    if (verb == u"gateway") {
        const auto ms = words.size() == 1 ? parseInt(words[0], 0, 600000) : std::nullopt;
        const auto on = words.size() == 1 && !ms ? parseSwitch(words[0]) : std::nullopt;
        if (!on && !ms)
            return fail(QStringLiteral("gateway needs on, off or a delay in ms"));
        server.setGatewayDelayMs(ms ? *ms : *on ? DefaultGatewayDelayMs : -1);
        return CommandResult::Ok;
    }
    if (verb == u"show") {
        QString text;
        withSelected([&](VirtualReader &r) { text = readerState(r); });
        return say(text);
    }
    return fail(QStringLiteral("unknown command: %1 (try help)").arg(verb));
}

QList<InputLines::Line> InputLines::feed(const QByteArray &bytes)
{
    QList<Line> lines;
    for (qsizetype start = 0; start < bytes.size();) {
        const qsizetype newline = bytes.indexOf('\n', start);
        const qsizetype end = newline < 0 ? bytes.size() : newline;
        if (!skipping_) {
            if (pending_.size() + (end - start) > maxBytes_) {
                skipping_ = true;
                pending_.clear();
                lines.append({{}, true});
            } else {
                pending_.append(bytes.constData() + start, end - start);
            }
        }
        if (newline < 0)
            break;
        if (!skipping_)
            lines.append({std::exchange(pending_, {}), false});
        skipping_ = false;
        start = newline + 1;
    }
    return lines;
}

QList<InputLines::Line> InputLines::finish()
{
    QList<Line> lines;
    if (!skipping_ && !pending_.isEmpty())
        lines.append({std::exchange(pending_, {}), false});
    skipping_ = false;
    pending_.clear();
    return lines;
}

} // namespace relvix::sim
