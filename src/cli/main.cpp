// relvix-cli: the card reader from the command line.
#include "cli/cli.h"

#include <QCoreApplication>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("relvix-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(RELVIX_VERSION));
    return relvix::cli::run(QCoreApplication::arguments());
}
