// relvix-sim: a virtual card reader for people. Listens on TCP and/or a pseudo-terminal,
// prints where ("tcp 127.0.0.1 PORT", "pty /dev/pts/N") and takes commands on standard input.
// On Windows it serves TCP only and takes its commands from --script: there is no
// pseudo-terminal, and no notifier for a console or pipe.
#include "simcommands.h"
#include "simoptions.h"
#include "simserver.h"

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

// The readers on the line and the first one's state and faults, from the options; false
// after an error message.
bool setUpReaders(SimServer &server, const SimOptions &options, CommandContext *context)
{
    // The readers on the line: the first --reader sets the default reader, the others join it.
    const QStringList &readerSpecs = options.readers;
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
            return false;
        }
        server.withReader([&](VirtualReader &r) { wanted->applyTo(r); });
    }
    for (const QString &command : std::as_const(joining)) {
        QString message;
        if (runCommand(server, command, &message, context) == CommandResult::Error) {
            printError(message);
            return false;
        }
    }
    context->reader = 0;

    for (const QString &command : std::as_const(options.setup)) {
        QString message;
        if (runCommand(server, command, &message, context) == CommandResult::Error) {
            printError(message);
            return false;
        }
    }
    return true;
}

// SIGINT and the like end the program in order; false after an error message.
bool catchSignals([[maybe_unused]] std::unique_ptr<QSocketNotifier> *notifier)
{
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
        return false;
    }
    *notifier = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(notifier->get(), &QSocketNotifier::activated, qApp, [] { QCoreApplication::quit(); });
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
    return true;
}

// Listens on TCP and opens the pseudo-terminal as asked, and prints where; the exit code
// after an error message, 0 when all is well.
int openLinks(SimServer &server, const SimOptions &options)
{
    if (options.tcp) {
        bool ok = true;
        const quint16 port = options.tcpPort ? options.tcpPort->toUShort(&ok) : 0;
        if (!ok) {
            printError(QStringLiteral("bad TCP port: %1").arg(*options.tcpPort));
            return 2;
        }
        const quint16 bound = server.listenTcp(options.bind, port);
        if (bound == 0) {
            printError(QStringLiteral("cannot listen on %1 port %2").arg(options.bind, QString::number(port)));
            return 1;
        }
        printLine(QStringLiteral("tcp %1 %2").arg(options.bind, QString::number(bound)));
    }
    if (options.pty) {
        const QString path = server.openPty();
        if (path.isEmpty()) {
            printError(QStringLiteral("cannot open a pseudo-terminal"));
            return 1;
        }
        printLine(QStringLiteral("pty %1").arg(path));
    }
    return 0;
}

int run(const SimOptions &options)
{
#ifdef _WIN32
    if (options.pty) {
        printError(QStringLiteral("--pty is not available on Windows, which has no pseudo-terminals; use --tcp"));
        return 2;
    }
#endif

    SimServer server;
    if (options.verbose)
        server.setLogToStderr(true);

    CommandContext context;
    if (!setUpReaders(server, options, &context))
        return 2;

    QList<ScriptLine> scriptLines;
    if (options.script) {
        QString error;
        if (!readScript(*options.script, &scriptLines, &error)) {
            printError(error);
            return 2;
        }
    }

    std::unique_ptr<QSocketNotifier> signalNotifier;
    if (!catchSignals(&signalNotifier))
        return 1;

    if (const int failed = openLinks(server, options))
        return failed;

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
        QTimer::singleShot(line.afterMs, qApp, [&execute, command] { execute(command); });
    }

    const bool quitAtEof = options.quitOnEof;
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
        QObject::connect(stdinNotifier.get(), &QSocketNotifier::activated, qApp, [&] {
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
        QTimer::singleShot(0, qApp, [] { QCoreApplication::quit(); });
    }

    const int result = QCoreApplication::exec();
    stdinNotifier.reset();
    return result;
#endif
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("relvix-sim"));
    return run(parseSimOptions(QCoreApplication::arguments()));
}
