// relvix-sim: a virtual card reader for people. Listens on TCP and/or a pseudo-terminal,
// prints where ("tcp 127.0.0.1 PORT", "pty /dev/pts/N") and takes commands on standard input.
// On Windows it serves TCP only and takes its commands from --script: there is no
// pseudo-terminal, and no notifier for a console or pipe.
#include "simcommands.h"
#include "simserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>
#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

using namespace relvix::sim;

namespace {

#ifndef _WIN32
int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}
#endif

void printLine(const QString &line)
{
    std::fputs(line.toLocal8Bit().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void printError(const QString &line)
{
    std::fprintf(stderr, "relvix-sim: %s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}

// QCommandLineParser has no option with an optional value: "--tcp" alone means port 0,
// "--tcp 4001" and "--tcp=4001" give the port. Rewrite those two into the hidden --tcp-port.
QStringList rewriteTcpOption(const QStringList &args)
{
    QStringList out;
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args[i];
        if (a.startsWith(QLatin1String("--tcp="))) {
            out << QStringLiteral("--tcp") << QStringLiteral("--tcp-port") << a.mid(6);
        } else if (a == QLatin1String("--tcp") && i + 1 < args.size() && !args[i + 1].startsWith(QLatin1Char('-'))) {
            bool ok = false;
            args[i + 1].toUShort(&ok);
            out << a;
            if (ok)
                out << QStringLiteral("--tcp-port") << args[++i];
        } else {
            out << a;
        }
    }
    return out;
}

struct ScriptLine {
    int afterMs;
    QString command;
};

bool readScript(const QString &path, QList<ScriptLine> *lines, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *error = QStringLiteral("cannot read script %1: %2").arg(path, file.errorString());
        return false;
    }
    QTextStream in(&file);
    int number = 0;
    while (!in.atEnd()) {
        const QString line = in.readLine().trimmed();
        ++number;
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const qsizetype space = line.indexOf(QLatin1Char(' '));
        bool ok = false;
        const int afterMs = line.left(space).toInt(&ok);
        if (!ok || afterMs < 0 || space < 0) {
            *error = QStringLiteral("%1:%2: expected \"AFTER_MS command\"").arg(path, QString::number(number));
            return false;
        }
        lines->append({afterMs, line.mid(space + 1).trimmed()});
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("relvix-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("A virtual MODBUS RTU card reader for Relvix, over TCP (RTU frames, no MBAP header) and/or a "
                       "pseudo-terminal.\nPrints \"tcp ADDRESS PORT\" and \"pty PATH\" on standard output, then reads "
                       "commands from standard input, one a line (\"help\" lists them).\n\n"
                       "Several readers can share the line, as on an RS-485 bus: one --reader for each. Each answers "
                       "only its own address, with its own registers.\n"
                       "On the pseudo-terminal a reader given a speed answers only while the tool has set its port to "
                       "that speed (read from the line's terminal settings at each request), so a scan over several "
                       "speeds finds it at its own and only there; a reader without a speed answers at any speed. "
                       "Over TCP there is no speed, and every reader answers."));
    parser.addHelpOption();
    const QCommandLineOption tcp(QStringLiteral("tcp"),
                                 QStringLiteral("Listen on TCP: --tcp [PORT]; no port or 0 picks a free one."));
    QCommandLineOption tcpPort(QStringLiteral("tcp-port"), QStringLiteral("TCP port."), QStringLiteral("PORT"));
    tcpPort.setFlags(QCommandLineOption::HiddenFromHelp);
    const QCommandLineOption bind(QStringLiteral("bind"), QStringLiteral("Address to listen on (default 127.0.0.1)."),
                                  QStringLiteral("ADDRESS"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption pty(
        QStringLiteral("pty"),
        QStringLiteral("Open a pseudo-terminal; its path is the port name for the tool (not on Windows)."));
    const QCommandLineOption reader(
        QStringLiteral("reader"),
        QStringLiteral("A reader on the line, ADDRESS:SERIAL:VERSION[:SPEED] (address 1..254, "
                       "hex serial and version, speed in baud), e.g. 5:0012ABCD:1A05 or "
                       "7:00000007:0100:9600. Repeat for several; the first takes the "
                       "place of the default reader (1:0012ABCD:1A05), and the options "
                       "below set the first one."),
        QStringLiteral("READER"));
    const QCommandLineOption address(QStringLiteral("address"), QStringLiteral("Slave address, 1..254 (default 1)."),
                                     QStringLiteral("N"));
    const QCommandLineOption serial(QStringLiteral("serial"), QStringLiteral("Serial number, 8 hex digits."),
                                    QStringLiteral("HEX"));
    const QCommandLineOption version(QStringLiteral("version"), QStringLiteral("Firmware version, 4 hex digits."),
                                     QStringLiteral("HEX"));
    const QCommandLineOption inputs(QStringLiteral("inputs"), QStringLiteral("Digital inputs, 4 hex digits."),
                                    QStringLiteral("HEX"));
    const QCommandLineOption outputs(QStringLiteral("outputs"), QStringLiteral("Digital outputs, 4 hex digits."),
                                     QStringLiteral("HEX"));
    const QCommandLineOption uid(QStringLiteral("uid"), QStringLiteral("Card UID, up to 32 hex digits."),
                                 QStringLiteral("HEX"));
    const QCommandLineOption keys(QStringLiteral("keys"),
                                  QStringLiteral("Keypad code, up to 16 digits (0 is sent as 10)."),
                                  QStringLiteral("DIGITS"));
    const QCommandLineOption verbose(QStringList{QStringLiteral("verbose"), QStringLiteral("log")},
                                     QStringLiteral("Every frame with a timestamp on standard error."));
    const QCommandLineOption delay(QStringLiteral("delay"), QStringLiteral("Fault: wait before each response."),
                                   QStringLiteral("MS"));
    const QCommandLineOption gap(QStringLiteral("gap"), QStringLiteral("Fault: wait between bytes (or chunks)."),
                                 QStringLiteral("MS"));
    const QCommandLineOption chunk(QStringLiteral("chunk"),
                                   QStringLiteral("Fault: send responses in pieces of N bytes."), QStringLiteral("N"));
    const QCommandLineOption noiseBefore(QStringLiteral("noise-before"),
                                         QStringLiteral("Fault: bytes sent before each response."),
                                         QStringLiteral("HEX"));
    const QCommandLineOption noiseAfter(
        QStringLiteral("noise-after"), QStringLiteral("Fault: bytes sent after each response."), QStringLiteral("HEX"));
    const QCommandLineOption wrongCrc(QStringLiteral("wrong-crc"),
                                      QStringLiteral("Fault: flip the CRC of every response."));
    const QCommandLineOption exception(QStringLiteral("exception"),
                                       QStringLiteral("Fault: answer every request with this exception code."),
                                       QStringLiteral("CODE"));
    const QCommandLineOption silent(QStringLiteral("silent"), QStringLiteral("Fault: answer nothing."));
    const QCommandLineOption endless(
        QStringLiteral("endless"),
        QStringLiteral("Fault: after each request, zero bytes without end until the next request."));
    const QCommandLineOption closeAfter(QStringLiteral("close-after"),
                                        QStringLiteral("Fault: close the connection after N response bytes."),
                                        QStringLiteral("N"));
    const QCommandLineOption answerAs(QStringLiteral("answer-as"),
                                      QStringLiteral("Fault: answer with this slave address."), QStringLiteral("N"));
    const QCommandLineOption script(
        QStringLiteral("script"),
        QStringLiteral("Run commands from FILE, lines \"AFTER_MS command\" (ms after start)."), QStringLiteral("FILE"));
    const QCommandLineOption quitOnEof(QStringLiteral("quit-on-eof"),
                                       QStringLiteral("End when standard input ends (by default it keeps running)."));
    parser.addOptions({tcp,      tcpPort,   bind,   pty,     reader,     address,  serial, version,     inputs,
                       outputs,  uid,       keys,   verbose, delay,      gap,      chunk,  noiseBefore, noiseAfter,
                       wrongCrc, exception, silent, endless, closeAfter, answerAs, script, quitOnEof});

    parser.process(rewriteTcpOption(QCoreApplication::arguments()));
#ifdef _WIN32
    if (parser.isSet(pty)) {
        printError(QStringLiteral("--pty is not available on Windows, which has no pseudo-terminals; use --tcp"));
        return 2;
    }
#endif

    SimServer server;
    if (parser.isSet(verbose))
        server.setLogToStderr(true);

    // The readers on the line: the first --reader sets the default reader, the others join it.
    const QStringList readerSpecs = parser.values(reader);
    QStringList joining;
    for (int i = 0; i < readerSpecs.size(); ++i) {
        if (i > 0) {
            joining << QStringLiteral("reader add ") + readerSpecs[i];
            continue;
        }
        QString error;
        const auto wanted = parseReaderSpec(readerSpecs[i], &error);
        if (!wanted) {
            printError(error);
            return 2;
        }
        server.withReader([&](VirtualReader &r) { wanted->applyTo(r); });
    }
    CommandContext context;
    for (const QString &command : std::as_const(joining)) {
        QString message;
        if (runCommand(server, command, &message, &context) == CommandResult::Error) {
            printError(message);
            return 2;
        }
    }
    context.reader = 0;

    // The first reader's state and the faults go through the same command language as
    // standard input.
    QStringList setup;
    if (parser.isSet(address))
        setup << QStringLiteral("address ") + parser.value(address);
    if (parser.isSet(serial))
        setup << QStringLiteral("serial ") + parser.value(serial);
    if (parser.isSet(version))
        setup << QStringLiteral("version ") + parser.value(version);
    if (parser.isSet(inputs))
        setup << QStringLiteral("inputs ") + parser.value(inputs);
    if (parser.isSet(outputs))
        setup << QStringLiteral("outputs ") + parser.value(outputs);
    if (parser.isSet(uid))
        setup << QStringLiteral("uid ") + parser.value(uid);
    if (parser.isSet(keys))
        setup << QStringLiteral("keys ") + parser.value(keys);
    QStringList faultWords;
    const std::pair<const QCommandLineOption *, const char *> valued[] = {{&delay, "delay"},
                                                                          {&gap, "gap"},
                                                                          {&chunk, "chunk"},
                                                                          {&noiseBefore, "noise-before"},
                                                                          {&noiseAfter, "noise-after"},
                                                                          {&exception, "exception"},
                                                                          {&closeAfter, "close-after"},
                                                                          {&answerAs, "answer-as"}};
    for (const auto &[option, word] : valued) {
        if (parser.isSet(*option))
            faultWords << QString::fromLatin1(word) << parser.value(*option);
    }
    const std::pair<const QCommandLineOption *, const char *> switches[] = {
        {&wrongCrc, "wrong-crc"}, {&silent, "silent"}, {&endless, "endless"}};
    for (const auto &[option, word] : switches) {
        if (parser.isSet(*option))
            faultWords << QString::fromLatin1(word) << QStringLiteral("on");
    }
    if (!faultWords.isEmpty())
        setup << QStringLiteral("fault ") + faultWords.join(QLatin1Char(' '));
    for (const QString &command : std::as_const(setup)) {
        QString message;
        if (runCommand(server, command, &message, &context) == CommandResult::Error) {
            printError(message);
            return 2;
        }
    }

    QList<ScriptLine> scriptLines;
    if (parser.isSet(script)) {
        QString error;
        if (!readScript(parser.value(script), &scriptLines, &error)) {
            printError(error);
            return 2;
        }
    }

#ifdef _WIN32
    // Ctrl+C ends the event loop. Windows runs the handler on a thread of its own, from which
    // quit() (it posts an event) may be called.
    std::signal(SIGINT, [](int) { QCoreApplication::quit(); });
#else
    // SIGINT and SIGTERM end the event loop through a pipe, so the server is torn down by
    // its destructor and not in the middle of a signal handler. Set up before the lines are
    // printed: whoever reads them may signal at once.
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        printError(QStringLiteral("pipe: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
        return 1;
    }
    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [] { QCoreApplication::quit(); });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    // Started in the background of an interactive shell, a read of the terminal would stop
    // the process; ignored, the read fails instead and counts as the end of input.
    std::signal(SIGTTIN, SIG_IGN);
#endif

    const bool wantTcp = parser.isSet(tcp) || parser.isSet(tcpPort) || !parser.isSet(pty);
    if (wantTcp) {
        bool ok = true;
        const quint16 port = parser.isSet(tcpPort) ? parser.value(tcpPort).toUShort(&ok) : 0;
        if (!ok) {
            printError(QStringLiteral("bad TCP port: %1").arg(parser.value(tcpPort)));
            return 2;
        }
        const quint16 bound = server.listenTcp(parser.value(bind), port);
        if (bound == 0) {
            printError(QStringLiteral("cannot listen on %1 port %2").arg(parser.value(bind), QString::number(port)));
            return 1;
        }
        printLine(QStringLiteral("tcp %1 %2").arg(parser.value(bind), QString::number(bound)));
    }
    if (parser.isSet(pty)) {
        const QString path = server.openPty();
        if (path.isEmpty()) {
            printError(QStringLiteral("cannot open a pseudo-terminal"));
            return 1;
        }
        printLine(QStringLiteral("pty %1").arg(path));
    }

    auto execute = [&](const QString &line) {
        QString message;
        switch (runCommand(server, line, &message, &context)) {
        case CommandResult::Quit:
            QCoreApplication::quit();
            break;
        case CommandResult::Error:
            printError(message);
            break;
        case CommandResult::Ok:
            if (!message.isEmpty())
                printLine(message.endsWith(QLatin1Char('\n')) ? message.chopped(1) : message);
            break;
        }
    };

    for (const ScriptLine &line : std::as_const(scriptLines)) {
        const QString command = line.command;
        QTimer::singleShot(line.afterMs, &app, [&execute, command] { execute(command); });
    }

    const bool quitAtEof = parser.isSet(quitOnEof);
#ifdef _WIN32
    if (quitAtEof)
        printError(QStringLiteral("--quit-on-eof: standard input is not read on Windows"));
    return QCoreApplication::exec();
#else
    // Standard input, when there is one (a closed descriptor 0 is fine too).
    std::unique_ptr<QSocketNotifier> stdinNotifier;
    InputLines input;
    auto executeLines = [&](const QList<InputLines::Line> &lines) {
        for (const InputLines::Line &line : lines) {
            if (line.tooLong)
                printError(QStringLiteral("line too long (over %1 bytes), ignored").arg(input.maxBytes()));
            else
                execute(QString::fromLocal8Bit(line.text));
        }
    };
    if (::fcntl(STDIN_FILENO, F_GETFD) != -1) {
        stdinNotifier = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
        QObject::connect(stdinNotifier.get(), &QSocketNotifier::activated, &app, [&] {
            char buffer[4096];
            const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                return;
            if (n <= 0) {
                stdinNotifier->setEnabled(false); // at its end the input stays readable forever
                executeLines(input.finish());
                if (quitAtEof)
                    QCoreApplication::quit();
                return;
            }
            executeLines(input.feed(QByteArray(buffer, n)));
        });
    } else if (quitAtEof) {
        QTimer::singleShot(0, &app, [] { QCoreApplication::quit(); });
    }

    const int result = QCoreApplication::exec();
    stdinNotifier.reset();
    return result;
#endif
}
