#pragma once
// relvix-sim's command line, read into what the program does with it.
#include <QString>
#include <QStringList>
#include <optional>

namespace relvix::sim {

struct SimOptions {
    bool verbose = false;           // every frame with a timestamp on standard error
    QStringList readers;            // --reader, in order: the first one takes the default's place
    QStringList setup;              // commands from the options that set the first reader and faults
    std::optional<QString> script;  // --script FILE
    bool tcp = true;                // listen on TCP (--tcp, or no --pty)
    std::optional<QString> tcpPort; // the port as given; none for a free one
    QString bind;                   // the address to listen on
    bool pty = false;
    bool quitOnEof = false;
};

// Reads the program's arguments (the first is its name). On --help, --help-all or a mistake
// that QCommandLineParser finds it prints what QCommandLineParser::process prints and ends
// the program; the values themselves are judged when they are used.
SimOptions parseSimOptions(const QStringList &arguments);

} // namespace relvix::sim
