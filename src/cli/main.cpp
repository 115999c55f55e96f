// relvix-cli: the card reader from the command line.
#include "cli/cli.h"

#include <QCoreApplication>

// The build gives the project's version; a compile outside it (the Windows syntax check)
// has none.
#ifndef RELVIX_VERSION
#define RELVIX_VERSION "unknown"
#endif

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("relvix-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(RELVIX_VERSION));
    return relvix::cli::run(QCoreApplication::arguments());
}
