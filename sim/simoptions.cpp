#include "simoptions.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

#include <utility>

namespace relvix::sim {

namespace {

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
        } else if (a.startsWith(QLatin1String("--gateway="))) {
            out << QStringLiteral("--gateway") << QStringLiteral("--gateway-delay") << a.mid(10);
        } else if (a == QLatin1String("--gateway") && i + 1 < args.size() &&
                   !args[i + 1].startsWith(QLatin1Char('-'))) {
            bool ok = false;
            args[i + 1].toUInt(&ok);
            out << a;
            if (ok)
                out << QStringLiteral("--gateway-delay") << args[++i];
        } else {
            out << a;
        }
    }
    return out;
}

} // namespace

SimOptions parseSimOptions(const QStringList &arguments)
{
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
                       "Over TCP there is no speed, and every reader answers.\n\n"
                       "The line can be made as messy as a real bus, to rehearse on: --line echo returns the "
                       "tool's own bytes first, as many USB RS-485 adapters do; --line half-duplex puts both "
                       "directions on one pair of wires, where each byte takes its wire time (11 bits at the "
                       "tool's speed on the pseudo-terminal, at --line-baud over TCP) and transmissions that "
                       "overlap in time, such as a request sent while a late answer is still arriving, or two "
                       "readers at one address, are garbled on both sides; --noise adds stray bytes; readers "
                       "may share an address and each answers after its own turnaround; --gateway makes an "
                       "absent address answer exception 0B over TCP."));
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
        QStringLiteral("A reader on the line, ADDRESS:SERIAL:VERSION[:SPEED[:TURNAROUND_MS]] "
                       "(address 1..254, hex serial and version, speed in baud or empty for any, "
                       "turnaround in ms, default 0), e.g. 5:0012ABCD:1A05, "
                       "7:00000007:0100:9600 or 5:00000005:0100::40. Repeat for several, also "
                       "at one address (each answers); the first takes the "
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
    const QCommandLineOption line(
        QStringLiteral("line"),
        QStringLiteral("The line: normal (default), echo, half-duplex or echo,half-duplex (see above)."),
        QStringLiteral("MODE"));
    const QCommandLineOption lineBaud(QStringLiteral("line-baud"),
                                      QStringLiteral("Wire times over TCP are reckoned at this speed (default 19200)."),
                                      QStringLiteral("BAUD"));
    const QCommandLineOption noise(QStringLiteral("noise"),
                                   QStringLiteral("Stray random bytes to the tool, about RATE a second."),
                                   QStringLiteral("RATE"));
    const QCommandLineOption gateway(
        QStringLiteral("gateway"),
        QStringLiteral("Over TCP: --gateway [DELAY_MS]; an address without a reader answers exception 0B after "
                       "the delay (default 50 ms), as a gateway with nothing behind it."));
    QCommandLineOption gatewayDelay(QStringLiteral("gateway-delay"), QStringLiteral("Gateway delay."),
                                    QStringLiteral("MS"));
    gatewayDelay.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOptions({line, lineBaud, noise, gateway, gatewayDelay});
    parser.addOptions({tcp,      tcpPort,   bind,   pty,     reader,     address,  serial, version,     inputs,
                       outputs,  uid,       keys,   verbose, delay,      gap,      chunk,  noiseBefore, noiseAfter,
                       wrongCrc, exception, silent, endless, closeAfter, answerAs, script, quitOnEof});

    const QStringList rewritten = rewriteTcpOption(arguments);
    if (!parser.parse(rewritten) || parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all")))
        parser.process(rewritten); // prints the help or the mistake, and ends the program

    SimOptions options;
    options.verbose = parser.isSet(verbose);
    options.readers = parser.values(reader);
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
    if (parser.isSet(line))
        setup << QStringLiteral("line ") + parser.value(line);
    if (parser.isSet(lineBaud))
        setup << QStringLiteral("line-baud ") + parser.value(lineBaud);
    if (parser.isSet(noise))
        setup << QStringLiteral("noise ") + parser.value(noise);
    if (parser.isSet(gatewayDelay))
        setup << QStringLiteral("gateway ") + parser.value(gatewayDelay);
    else if (parser.isSet(gateway))
        setup << QStringLiteral("gateway on");
    options.setup = setup;
    if (parser.isSet(script))
        options.script = parser.value(script);
    options.tcp = parser.isSet(tcp) || parser.isSet(tcpPort) || !parser.isSet(pty);
    if (parser.isSet(tcpPort))
        options.tcpPort = parser.value(tcpPort);
    options.bind = parser.value(bind);
    options.pty = parser.isSet(pty);
    options.quitOnEof = parser.isSet(quitOnEof);
    return options;
}

} // namespace relvix::sim
