// The command line's options and help: one table of commands and options, the parsing and the
// checks of each value. Long because the help text is here, next to the option it describes.
#include "cli/cli.h"
#include "cli/commands.h"

#include "link/serialmode.h"
#include "link/systemio.h"
#include "reader/busscan.h"
#include "reader/valuetext.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QMap>
#include <QRegularExpression>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <functional>

namespace relvix::cli {
namespace {

const QString kExitCodes =
    QStringLiteral("Exit codes:\n"
                   "  0    done\n"
                   "  1    no answer, or not the answer: silence, an exception, another\n"
                   "       reader's frame; set-address: the new address is taken\n"
                   "  2    usage error (bad option, value or output path); nothing was sent\n"
                   "  3    the serial port or the TCP connection could not be opened, or was lost\n"
                   "  4    the reader answered, but a write was not read back as written\n"
                   "  5    a result, report or log could not be written (full disk, closed pipe)\n"
                   "  130  interrupted (Ctrl+C), or a confirmation was declined\n"
                   "  143  stopped by SIGTERM; 129 by SIGHUP");

const QStringList kLinkOptions = {"port", "mode", "tcp", "address", "timeout-ms", "echo"};

const QString kAnswerRule =
    QStringLiteral("Every answer is checked: only a frame with the request's slave address and function\n"
                   "(for 03 with the byte count asked, for 06 the echo) is the answer. An exception reply\n"
                   "ends the exchange with its code; another reader's frame is dropped and logged (DROP);\n"
                   "after a failed exchange the line is drained before the next request, so a late answer\n"
                   "is never taken for the next one.\n");

struct Command {
    QString name;
    QString summary;
    QString usage;                               // positional arguments, as shown in the usage line
    QList<QPair<QString, QString>> argumentHelp; // name, description
    int minArguments = 0, maxArguments = 0;
    QStringList options; // its own options, beside --json, --log, --help
    bool link = true;    // takes the link options
    std::function<int(const Options &)> run;
};

QList<Command> commands()
{
    return {
        {"ports",
         "List the serial ports the system knows, with what it knows of each.",
         "",
         {},
         0,
         0,
         {},
         false,
         runPorts},
        {"identify",
         "Find the reader at --address (three tries) and read its serial number and version.",
         "",
         {},
         0,
         0,
         {"retries"},
         true,
         runIdentify},
        {"scan",
         "Find every reader on a line: each address of --from..--to, in each serial mode.",
         "",
         {},
         0,
         0,
         {"from", "to", "modes", "scan-timeout-ms"},
         true,
         runScan},
        {"card",
         "Read the card UID and keypad blocks once, or watch them for new cards and codes.",
         "",
         {},
         0,
         0,
         {"format", "lsb", "all-formats", "key-hex", "watch", "count", "for", "clear", "interval-ms", "reconnect"},
         true,
         runCard},
        {"clear", "Clear the card UID and keypad blocks on the reader.", "", {}, 0, 0, {}, true, runClear},
        {"io", "Read the digital inputs and outputs.", "", {}, 0, 0, {}, true, runIo},
        {"set-do",
         "Write the digital outputs, then read them back.",
         "HEX",
         {{"HEX", "The new outputs: one to four hex digits."}},
         1,
         1,
         {"yes"},
         true,
         runSetDo},
        {"set-address",
         "Give the reader a new slave address, then check that it answers there.",
         "NEW",
         {{"NEW", "The new address, 1 to 254. Refused when anything answers there (see --force)."}},
         1,
         1,
         {"yes", "force", "retries"},
         true,
         runSetAddress},
        {"reboot", "Restart the reader.", "", {}, 0, 0, {"yes", "wait", "wait-timeout"}, true, runReboot},
        {"factory-reset",
         "Return the reader to its factory settings.",
         "",
         {},
         0,
         0,
         {"yes", "wait", "wait-timeout"},
         true,
         runReboot},
        {"read",
         "Read holding registers (function 03) and print each as hex and decimal.",
         "REGISTER [COUNT]",
         {{"REGISTER", "The first register, 0 to 65535: decimal, or hex after 0x."},
          {"COUNT", "How many, 1 to 125 (default 1)."}},
         1,
         2,
         {},
         true,
         runRead},
        {"write",
         "Write one holding register (function 06) and check the echo.",
         "REGISTER VALUE",
         {{"REGISTER", "The register, 0 to 65535: decimal, or hex after 0x."},
          {"VALUE", "The value, 0 to 65535: decimal, or hex after 0x."}},
         2,
         2,
         {"yes"},
         true,
         runWrite},
        {"raw",
         "Send one request and print the request and response frames.",
         "FUNCTION [DATA]",
         {{"FUNCTION", "Function code: one or two hex digits."},
          {"DATA", "Data bytes: pairs of hex digits, no blanks or prefix (may be left out)."}},
         1,
         2,
         {"expect"},
         true,
         runRaw},
        {"selftest",
         "Pass or fail a reader: identify, I/O, card and keypad blocks, and with --outputs a "
         "write and read-back of the outputs. Prints a table and writes a JSON report.",
         "",
         {},
         0,
         0,
         {"report", "outputs", "pattern", "retries"},
         true,
         runSelftest},
    };
}

QMap<QString, QCommandLineOption> allOptions()
{
    const QList<QCommandLineOption> list = {
        {QStringList{"h", "help"}, "Show this help (for a command: COMMAND --help)."},
        {"version", "Show the program's version."},
        {"json", "Print results as JSON: one object per result, one line per event for streams."},
        {"verbose", "Say on stderr what the serial driver was asked and refused (low latency)."},
        {"log", "Log every frame (time, direction, slave address, bytes, outcome) to FILE; - for stderr.", "FILE"},
        {"log-max-mb",
         "With --log FILE: at N megabytes (10^6 bytes, default 100, fractions too) FILE is renamed to FILE.1, "
         "replacing an older one, and begun again; 0 for no bound.",
         "N"},
#ifdef _WIN32
        {"port", "Serial port: a port name such as COM3.", "NAME"},
#else
        {"port", "Serial port: a path such as /dev/ttyUSB0, or a name under /dev.", "PATH"},
#endif
        {"mode", "Serial mode as the window writes it: baud,parity,data,stop (default 19200,e,8,1).", "TEXT"},
        {"tcp", "RTU frames over raw TCP to a host name or address and port ([::1]:4001 for IPv6).", "HOST:PORT"},
        {"address", "Slave address of the reader, 1 to 254 (default 1).", "N"},
        {"timeout-ms", "Receive time-out of each exchange, 1 to 60000 ms (default 1000).", "MS"},
        {"echo",
         "The line's local echo of each request: auto (default: found by itself), on (always skip "
         "the first copy), off.",
         "WHEN"},
        {"reconnect", "With --watch: reopen a lost port or connection (after 1 s, growing to 30 s) and go on."},
        {"retries", "Tries beyond the first when the reader does not answer, 0 to 100 (default 2).", "N"},
        {"force", "Change the address even when a reader answers at the new one (two readers then share it)."},
        {"from", "First address to try (default 1).", "N"},
        {"to", "Last address to try (default 254).", "N"},
        {"modes",
         "Serial modes to try, separated by ';' or given again (default: 9600, 19200, 38400, 57600 "
         "and 115200 baud, each e,8,1); 'wide': 1200 to 115200 baud, each with even, odd and no "
         "parity. Ignored over TCP.",
         "LIST"},
        {"scan-timeout-ms",
         QStringLiteral("Time-out per address, 1 to 60000 ms (default: the wire time of a request and "
                        "its answer at each mode's speed, 3.5 characters and %1 ms for the reader, e.g. "
                        "%2 ms at 9600 baud; %3 ms over TCP). A later answer is still found: the "
                        "address is asked again with %4 ms.")
             .arg(kScanAllowanceMs)
             .arg(DefaultScanTimeoutMs(9600))
             .arg(kDefaultScanTimeoutMs)
             .arg(kLateProbeTimeoutMs),
         "MS"},
        {"format",
         QStringLiteral("UID format: %1 (default), %2 or %3.")
             .arg(UidFormatNames().constFirst(),
                  UidFormatNames().mid(1, kUidFormatCount - 2).join(QStringLiteral(", ")),
                  UidFormatNames().constLast()),
         "NAME"},
        {"lsb", "Reverse the UID byte order (as the window's LSB box)."},
        {"all-formats", "Print the UID in all eight formats."},
        {"key-hex", "Print the keypad block as hex instead of digits."},
        {"watch", "Poll until Ctrl+C, --count or --for; print one event per new card or keypad entry."},
        {"count", "With --watch: stop after N events.", "N"},
        {"for", "With --watch: stop after SECONDS.", "SECONDS"},
        {
            "clear",
            "With --watch: clear the blocks at the start and after each event, so that the same card "
            "presented again counts again.",
        },
        {"interval-ms", "With --watch: time between polls, 10 to 60000 ms (default 100).", "MS"},
        {"yes", "Go ahead without asking (needed when not on a terminal)."},
        {"wait", "Poll until the reader answers again and report the time it took."},
        {"wait-timeout", "With --wait: give up after SECONDS (default 30).", "SECONDS"},
        {"expect",
         "Least response length at which the CRC test starts, 0 or 4 to 1499 (default 0, "
         "which stands for 7).",
         "N"},
        {"report", "Write the JSON report to FILE.", "FILE"},
        {"outputs", "Also write a pattern to the outputs, read it back, and restore the old value."},
        {"pattern", "With --outputs: the pattern, one to four hex digits (default A55A).", "HEX"},
    };
    QMap<QString, QCommandLineOption> map;
    for (const QCommandLineOption &o : list)
        map.insert(o.names().constLast(), o);
    return map;
}

QString generalHelp(const QMap<QString, QCommandLineOption> &options)
{
    QString text = QStringLiteral("Usage: relvix-cli [options] COMMAND [arguments] [options]\n\n"
                                  "The MODBUS RTU card reader from the command line, over a serial port or raw TCP.\n"
                                  "Results go to standard output, diagnostics and progress to standard error.\n"
                                  "Options may stand before or after the command. Without --port or --tcp the\n"
                                  "link the window last saved is used (read only), and standard error says which.\n\n"
                                  "Commands:\n");
    for (const Command &c : commands()) {
        // The summary wrapped to 79 columns beside the name.
        QString line = QStringLiteral("  ") + c.name.leftJustified(15);
        for (const QString &word : c.summary.split(QLatin1Char(' '))) {
            if (line.size() + 1 + word.size() > 79 && line.trimmed().size() > c.name.size()) {
                text += line + QLatin1Char('\n');
                line = QString(17, QLatin1Char(' '));
            }
            line += (line.endsWith(QLatin1Char(' ')) ? QString() : QStringLiteral(" ")) + word;
        }
        text += line + QLatin1Char('\n');
    }
    QCommandLineParser p;
    for (const char *name : {"help", "version", "json", "log", "log-max-mb", "verbose"})
        p.addOption(options.find(QString::fromLatin1(name)).value());
    for (const QString &name : kLinkOptions)
        p.addOption(options.find(name).value());
    QString optionPart = p.helpText();
    optionPart = optionPart.mid(optionPart.indexOf(QLatin1String("Options:")));
    text += QLatin1Char('\n') + kAnswerRule + QLatin1Char('\n') + optionPart + QLatin1Char('\n') + kExitCodes +
            QStringLiteral("\n\nRun 'relvix-cli COMMAND --help' for a command's own options.\n");
    return text;
}

QString commandHelp(const Command &c, const QMap<QString, QCommandLineOption> &options)
{
    QCommandLineParser p;
    p.setApplicationDescription(c.summary);
    for (const auto &[name, description] : c.argumentHelp) {
        const bool optional = c.maxArguments > c.minArguments && name == c.argumentHelp.constLast().first;
        p.addPositionalArgument(name, description, optional ? QStringLiteral("[%1]").arg(name) : name);
    }
    for (const QString &name : c.options)
        p.addOption(options.find(name).value());
    for (const char *name : {"json", "log", "log-max-mb", "verbose", "help"})
        p.addOption(options.find(QString::fromLatin1(name)).value());
    if (c.link)
        for (const QString &name : kLinkOptions)
            p.addOption(options.find(name).value());
    QString text = p.helpText();
    // QCommandLineParser names the program by its path; the usage line names the command.
    text.replace(QRegularExpression(QStringLiteral("^Usage: \\S+ \\[options\\]")),
                 QStringLiteral("Usage: relvix-cli [options] %1").arg(c.name));
    return text + QStringLiteral("\nExit codes: see relvix-cli --help.\n");
}

// Bad input: a one-line message naming the value, exit code 2, nothing sent.
struct UsageError {
    QString message;
};

int intValue(const QCommandLineParser &p, const QString &name, int min, int max, int fallback)
{
    if (!p.isSet(name))
        return fallback;
    const QString text = p.value(name);
    bool ok = false;
    const int value = text.trimmed() == text ? text.toInt(&ok, 10) : 0;
    if (!ok || value < min || value > max)
        throw UsageError{QStringLiteral("bad --%1 '%2': expected a whole number from %3 to %4")
                             .arg(name, text, QString::number(min), QString::number(max))};
    return value;
}

double secondsValue(const QCommandLineParser &p, const QString &name, double fallback)
{
    if (!p.isSet(name))
        return fallback;
    bool ok = false;
    const double value = p.value(name).toDouble(&ok);
    if (!ok || !(value > 0) || value > 1e6)
        throw UsageError{
            QStringLiteral("bad --%1 '%2': expected a number of seconds above 0").arg(name, p.value(name))};
    return value;
}

// All four fields of a serial mode must be usable; the window would quietly keep the port's
// own value for a field it cannot read, which a script would never notice.
QString checkedMode(const QString &text, const QString &what)
{
    const SerialMode mode = ParseSerialMode(text);
    if (text.split(QLatin1Char(',')).size() < 4 || !mode.baudRate || !mode.parity || !mode.dataBits || !mode.stopBits)
        throw UsageError{
            QStringLiteral("bad %1 '%2': expected baud,parity,data,stop such as 19200,e,8,1").arg(what, text)};
    return text;
}

LinkChoice linkChoice(const QCommandLineParser &p)
{
    if (p.isSet("port") && p.isSet("tcp"))
        throw UsageError{QStringLiteral("give --port or --tcp, not both")};
    LinkChoice c;
    if (p.isSet("tcp")) {
        const QString text = p.value("tcp");
        // HOST:PORT, where HOST is a name, an IPv4 address or an IPv6 address in brackets.
        const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
        QString host = colon > 0 ? text.left(colon) : QString();
        const QString portText = colon > 0 ? text.mid(colon + 1) : QString();
        const bool bracketed = host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']'));
        if (bracketed)
            host = host.mid(1, host.size() - 2);
        bool ok = false;
        const int port = portText.toInt(&ok, 10);
        if (host.isEmpty() || !ok || port < 1 || port > 65535 || portText != QString::number(port))
            throw UsageError{
                QStringLiteral("bad --tcp '%1': expected HOST:PORT with a port from 1 to 65535").arg(text)};
        if (!bracketed && host.contains(QLatin1Char(':')))
            throw UsageError{QStringLiteral("bad --tcp '%1': an IPv6 address goes in brackets, [::1]:4001").arg(text)};
        if (host.contains(QLatin1Char(' ')) || host.contains(QLatin1Char('[')) || host.contains(QLatin1Char(']')))
            throw UsageError{QStringLiteral("bad --tcp '%1': '%2' is not a host name or address").arg(text, host)};
        if (p.isSet("mode"))
            throw UsageError{QStringLiteral("--mode applies to a serial port, not to --tcp")};
        c.transport = Transport::Tcp;
        c.peerAddress = host;
        c.peerPort = portText;
        return c;
    }
    if (p.isSet("port")) {
        c.portName = p.value("port");
        if (c.portName.isEmpty())
            throw UsageError{QStringLiteral("bad --port '': expected a serial port")};
        if (p.isSet("mode")) {
            c.serialMode = checkedMode(p.value("mode"), QStringLiteral("--mode"));
            c.modeGiven = true;
        }
        return c;
    }
    if (p.isSet("mode"))
        throw UsageError{QStringLiteral("--mode needs --port")};
    QString unreadable;
    const auto saved = windowSavedLink(&unreadable);
    if (!saved && !unreadable.isEmpty())
        throw UsageError{QStringLiteral("no link given (--port or --tcp), and the window's settings could not be "
                                        "read: %1")
                             .arg(unreadable)};
    if (!saved)
        throw UsageError{QStringLiteral("no link given (--port or --tcp), and the window has saved none")};
    err(QStringLiteral("using the link the window saved: %1").arg(saved->describe()));
    return *saved;
}

// A log or report path that cannot be written is found before anything is sent. The file is
// opened for appending, as the log is, so nothing in it changes; one made only for the test
// is removed again.
void checkWritable(const QString &path, const QString &what)
{
    if (path.isEmpty())
        return;
    QFile file(path);
    const bool existed = file.exists();
    if (QFileInfo(path).isDir() || !file.open(QIODevice::WriteOnly | QIODevice::Append))
        throw UsageError{
            QStringLiteral("cannot write the %1 %2: %3")
                .arg(what, path, QFileInfo(path).isDir() ? QStringLiteral("it is a folder") : file.errorString())};
    file.close();
    if (!existed)
        file.remove();
}

Options parseOptions(const Command &command, const QCommandLineParser &p)
{
    Options o;
    o.command = command.name;
    o.arguments = p.positionalArguments().mid(1);
    if (o.arguments.size() < command.minArguments || o.arguments.size() > command.maxArguments)
        throw UsageError{
            QStringLiteral("%1 takes %2")
                .arg(command.name, command.usage.isEmpty() ? QStringLiteral("no arguments") : command.usage)};
    o.json = p.isSet("json");
    // The serial backend says what the driver gave in its own logging category.
    if (p.isSet("verbose"))
        QLoggingCategory::setFilterRules(QStringLiteral("relvix.serial.info=true"));
    o.logPath = p.value("log");
    if (p.isSet("log-max-mb")) {
        const QString text = p.value("log-max-mb");
        bool ok = false;
        const double mb = text.trimmed() == text ? text.toDouble(&ok) : 0;
        // Below a kilobyte every few frames would turn the log over; above a terabyte is no bound.
        if (!ok || !(mb == 0 || (mb >= 0.001 && mb <= 1e6)))
            throw UsageError{QStringLiteral("bad --log-max-mb '%1': expected 0 (no bound) or megabytes from 0.001 "
                                            "to 1000000")
                                 .arg(text)};
        if (o.logPath.isEmpty() || o.logPath == QLatin1String("-"))
            throw UsageError{QStringLiteral("--log-max-mb bounds a log file: it goes with --log FILE")};
        o.logMaxBytes = std::llround(mb * 1e6);
    }
    o.yes = p.isSet("yes");
    if (command.link) {
        o.address = intValue(p, "address", 1, 254, 1);
        o.timeoutMs = intValue(p, "timeout-ms", 1, 60000, 1000);
        const QString echo = p.isSet("echo") ? p.value("echo") : QStringLiteral("auto");
        if (echo == QLatin1String("on"))
            o.echo = EchoMode::On;
        else if (echo == QLatin1String("off"))
            o.echo = EchoMode::Off;
        else if (echo != QLatin1String("auto"))
            throw UsageError{QStringLiteral("bad --echo '%1': expected auto, on or off").arg(echo)};
    }
    o.retries = intValue(p, "retries", 0, 100, 2);
    o.force = p.isSet("force");
    o.from = intValue(p, "from", 1, 254, 1);
    o.to = intValue(p, "to", 1, 254, 254);
    if (o.from > o.to)
        throw UsageError{QStringLiteral("bad --from %1 and --to %2: the range is empty").arg(o.from).arg(o.to)};
    for (const QString &list : p.values("modes")) {
        const QStringList modes = list.split(QLatin1Char(';'), Qt::SkipEmptyParts);
        if (modes.isEmpty() || list.trimmed().isEmpty())
            throw UsageError{
                QStringLiteral("bad --modes '%1': expected modes such as 9600,e,8,1;19200,e,8,1").arg(list)};
        for (const QString &mode : modes) {
            if (mode.trimmed().compare(QLatin1String("wide"), Qt::CaseInsensitive) == 0)
                o.modes << WideScanModes();
            else
                o.modes << checkedMode(mode.trimmed(), QStringLiteral("mode in --modes"));
        }
    }
    if (o.modes.isEmpty())
        o.modes = DefaultScanModes();
    o.scanTimeoutMs = intValue(p, "scan-timeout-ms", 1, 60000, 0);
    if (p.isSet("format")) {
        const auto index = UidFormatIndex(p.value("format"));
        if (!index)
            throw UsageError{QStringLiteral("bad --format '%1': expected one of %2")
                                 .arg(p.value("format"), UidFormatNames().join(u' '))};
        o.format = *index;
    }
    o.lsb = p.isSet("lsb");
    o.allFormats = p.isSet("all-formats");
    o.keyHex = p.isSet("key-hex");
    o.watch = p.isSet("watch");
    o.clear = p.isSet("clear");
    o.count = intValue(p, "count", 1, 1000000000, 0);
    o.forSeconds = secondsValue(p, "for", 0);
    o.intervalMs = intValue(p, "interval-ms", 10, 60000, 100);
    o.reconnect = p.isSet("reconnect");
    if (!o.watch && (p.isSet("count") || p.isSet("for") || p.isSet("clear") || p.isSet("interval-ms") || o.reconnect))
        throw UsageError{QStringLiteral("--count, --for, --clear, --interval-ms and --reconnect go with --watch")};
    o.wait = p.isSet("wait");
    o.waitTimeoutS = intValue(p, "wait-timeout", 1, 3600, 30);
    if (p.isSet("expect")) {
        o.expect = intValue(p, "expect", 0, 1499, 0);
        if (o.expect > 0 && o.expect < 4)
            throw UsageError{QStringLiteral("bad --expect %1: a frame has at least 4 bytes").arg(o.expect)};
    }
    o.reportPath = p.value("report");
    o.outputs = p.isSet("outputs");
    if (p.isSet("pattern")) {
        const auto pattern = StrictHexNumber(p.value("pattern"), 4);
        if (!pattern)
            throw UsageError{
                QStringLiteral("bad --pattern '%1': expected one to four hex digits").arg(p.value("pattern"))};
        o.pattern = static_cast<std::uint16_t>(*pattern);
    }
    checkWritable(o.logPath == QLatin1String("-") ? QString() : o.logPath, QStringLiteral("log"));
    checkWritable(o.reportPath, QStringLiteral("report"));
    // The link last: reading the window's saved link says so on stderr, which a usage
    // error found above should not be preceded by.
    if (command.link)
        o.link = linkChoice(p);
    return o;
}

// Writes the help or version text; false when standard output refused it.
bool writeText(const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    errno = 0;
    const std::size_t written = std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stdout);
    if (std::fflush(stdout) != 0 || written != std::size_t(bytes.size())) {
        noteOutputFailure(QStringLiteral("cannot write to standard output"), errno ? errno : EIO);
        return false;
    }
    return true;
}

} // namespace

int run(const QStringList &arguments)
{
    const QMap<QString, QCommandLineOption> options = allOptions();
    QCommandLineParser parser;
    for (const QCommandLineOption &o : options)
        parser.addOption(o);
    // A usage error with --json is an error object like every other failure.
    const bool json = arguments.contains(QStringLiteral("--json"));
    const auto usage = [&](const QString &message) {
        err(message);
        if (json)
            outError(Usage, message);
        return outputFailed() ? OutputFailed : Usage;
    };
    if (!parser.parse(arguments))
        return usage(parser.errorText() + QStringLiteral(" (see relvix-cli --help)"));
    const QString name = parser.positionalArguments().value(0);
    const QList<Command> all = commands();
    const Command *command = nullptr;
    for (const Command &c : all)
        if (c.name == name)
            command = &c;

    if (parser.isSet("help")) {
        if (!name.isEmpty() && !command)
            return usage(QStringLiteral("unknown command '%1' (see relvix-cli --help)").arg(name));
        if (!writeText(command ? commandHelp(*command, options) : generalHelp(options))) {
            err(outputFailure());
            return OutputFailed;
        }
        return Done;
    }
    if (parser.isSet("version")) {
        if (!writeText(QStringLiteral("relvix-cli %1\n").arg(QCoreApplication::applicationVersion()))) {
            err(outputFailure());
            return OutputFailed;
        }
        return Done;
    }
    if (!command)
        return usage(name.isEmpty() ? QStringLiteral("no command given (see relvix-cli --help)")
                                    : QStringLiteral("unknown command '%1' (see relvix-cli --help)").arg(name));
    // An option of another command is a mistake worth saying, not something to ignore.
    QStringList allowed =
        command->options + QStringList{"json", "log", "log-max-mb", "verbose", "help", "h", "version"};
    if (command->link)
        allowed += kLinkOptions;
    for (const QString &given : parser.optionNames()) {
        if (!allowed.contains(given))
            return usage(
                QStringLiteral("--%1 does not apply to %2 (see relvix-cli %2 --help)").arg(given, command->name));
    }
    Options parsed;
    try {
        parsed = parseOptions(*command, parser);
    } catch (const UsageError &error) {
        return usage(error.message);
    }
    installInterruptHandler();
    const int code = command->run(parsed);
    checkOutputReader(true);
    if (outputFailed())
        err(outputFailure());
    // A stop signal decides the status, whatever else happened meanwhile: whoever sent it
    // learns that it was heard (and a hang-up is often why the output failed).
    if (interrupted())
        return interruptedExit();
    if (outputFailed())
        return code == Done || code == Interrupted ? OutputFailed : code;
    return code;
}

} // namespace relvix::cli
