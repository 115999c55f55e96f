// Holds a serial port open in a process of its own until its standard input closes, the
// way another program would: "held" on standard output once the port is open.
#include <QCoreApplication>
#include <QSerialPort>
#include <cstdio>
#include <unistd.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2)
        return 2;
    QSerialPort port;
    port.setPortName(QString::fromLocal8Bit(argv[1]));
    if (!port.open(QIODevice::ReadWrite)) {
        std::puts("failed");
        return 1;
    }
    std::puts("held");
    std::fflush(stdout);
    char buf[64];
    while (read(0, buf, sizeof buf) > 0) {
    }
    return 0;
}
