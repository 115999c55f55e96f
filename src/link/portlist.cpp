// The serial ports the system reports, for the window's port list: only listed, never opened.
#include "link/portlist.h"

#ifdef _WIN32
#include "link/winregistry.h"
#else
#include <QSerialPortInfo>
#endif

namespace relvix {

QString TrimPortName(const QString &name)
{
    qsizetype begin = 0;
    qsizetype end = name.size();
    while (begin < end && name.at(begin).unicode() < 33)
        ++begin;
    while (end > begin && name.at(end - 1).unicode() < 33)
        --end;
    return name.mid(begin, end - begin);
}

QStringList PortListFrom(const QStringList &reported)
{
    QStringList ports;
    ports.reserve(reported.size());
    for (const QString &name : reported)
        ports.append(TrimPortName(name));
    if (ports.isEmpty()) {
        for (int n = 1; n <= 16; ++n)
            ports.append(QStringLiteral("COM%1").arg(n));
    }
    return ports;
}

#ifdef _WIN32

namespace {
// Kept by the system: one value per serial port present, its data the port name ("COM1").
constexpr const char *kPortMapPath = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

// Calls found(device name, port name) for each port in the system's map, in its order.
template <typename Found> void forEachMappedPort(Found found)
{
    HKEY map = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPortMapPath, 0, KEY_READ, &map) != ERROR_SUCCESS)
        return;
    DWORD count = 0;
    DWORD longestName = 0;
    if (RegQueryInfoKeyA(map, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, &longestName, nullptr,
                         nullptr, nullptr) == ERROR_SUCCESS) {
        QByteArray valueName(static_cast<qsizetype>(longestName) + 1, '\0');
        for (DWORD index = 0; index < count; ++index) {
            DWORD length = longestName + 1;
            if (RegEnumValueA(map, index, valueName.data(), &length, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS)
                break;
            QString port;
            // A value that is not a string ends the listing; what was gathered stays.
            if (!readRegistryString(map, valueName.constData(), port))
                break;
            found(QString::fromLocal8Bit(valueName.constData()), port);
        }
    }
    RegCloseKey(map);
}

} // namespace

QStringList systemSerialPortNames()
{
    QStringList names;
    forEachMappedPort([&](const QString &, const QString &port) { names.append(port); });
    return names;
}

QList<SerialPortDetails> systemSerialPortDetails()
{
    QList<SerialPortDetails> ports;
    forEachMappedPort([&](const QString &device, const QString &port) {
        SerialPortDetails d;
        d.name = TrimPortName(port);
        d.path = d.name;
        d.description = device;
        ports.append(d);
    });
    return ports;
}

#else

QStringList systemSerialPortNames()
{
    QStringList names;
    for (const QSerialPortInfo &port : QSerialPortInfo::availablePorts())
        names.append(port.portName());
    return names;
}

QList<SerialPortDetails> systemSerialPortDetails()
{
    QList<SerialPortDetails> ports;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        SerialPortDetails d;
        d.name = info.portName();
        d.path = info.systemLocation();
        d.description = info.description();
        d.manufacturer = info.manufacturer();
        d.serialNumber = info.serialNumber();
        if (info.hasVendorIdentifier())
            d.vendorId = info.vendorIdentifier();
        if (info.hasProductIdentifier())
            d.productId = info.productIdentifier();
        ports.append(d);
    }
    return ports;
}

#endif

} // namespace relvix
