// The serial backend of Linux: QSerialPort behind the link's SerialIo.
#include "link/serialbackend.h"

#include <fcntl.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif
#include <cerrno>
#include <cstring>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSerialPort>
#include <QThread>
#include <algorithm>

// What the backend asked of the driver and what it refused; shown by relvix-cli --verbose.
Q_LOGGING_CATEGORY(lcSerial, "relvix.serial", QtWarningMsg)

namespace relvix {
namespace {

// Low latency while the port is open. A USB serial adapter otherwise holds received bytes
// for up to 16 ms before handing them over (its latency timer), longer than a whole answer
// at 9600 baud. The driver's flags as they were go back at close. Drivers without serial
// information (a pseudo-terminal, many USB CDC devices) refuse; the port works as before.
class LowLatency {
public:
    void take(int fd, const QString &portName)
    {
#ifdef __linux__
        serial_struct info{};
        if (::ioctl(fd, TIOCGSERIAL, &info) != 0) {
            qCInfo(lcSerial).noquote() << QStringLiteral("%1: no low-latency mode: %2")
                                              .arg(portName, QString::fromLocal8Bit(std::strerror(errno)));
            return;
        }
        if ((info.flags & int(ASYNC_LOW_LATENCY)) != 0) {
            qCInfo(lcSerial).noquote() << QStringLiteral("%1: low latency already on").arg(portName);
            return;
        }
        const int oldFlags = info.flags;
        info.flags |= int(ASYNC_LOW_LATENCY);
        if (::ioctl(fd, TIOCSSERIAL, &info) != 0) {
            qCInfo(lcSerial).noquote() << QStringLiteral("%1: the driver refused low latency: %2")
                                              .arg(portName, QString::fromLocal8Bit(std::strerror(errno)));
            return;
        }
        fd_ = fd;
        oldFlags_ = oldFlags;
        qCInfo(lcSerial).noquote() << QStringLiteral("%1: low latency on").arg(portName);
#else
        Q_UNUSED(fd);
        Q_UNUSED(portName);
#endif
    }
    void giveBack()
    {
#ifdef __linux__
        if (fd_ < 0)
            return;
        serial_struct info{};
        if (::ioctl(fd_, TIOCGSERIAL, &info) == 0) {
            info.flags = oldFlags_;
            ::ioctl(fd_, TIOCSSERIAL, &info);
        }
        fd_ = -1;
#endif
    }

private:
    int fd_ = -1;
    int oldFlags_ = 0;
};

class PortIo final : public SerialIo {
public:
    explicit PortIo(std::unique_ptr<QSerialPort> port) : port_(std::move(port))
    {
        lowLatency_.take(static_cast<int>(port_->handle()), port_->portName());
    }

    ~PortIo() override
    {
        lowLatency_.giveBack();
        // Abort and clear both directions, then close: Qt puts back the terminal settings
        // that were in force before the open.
        port_->clear(QSerialPort::AllDirections);
        port_->close();
    }

    void purge() override
    {
        // The input only. Our last frame was written synchronously, so nothing stale of ours
        // waits in the output; what does is a request the other side has not read yet (a
        // pseudo-terminal keeps it until the peer reads, a driver until the wire takes it),
        // and flushing it lost requests when a short scan time-out put them 7 ms apart.
        port_->clear(QSerialPort::Input);
        if (port_->bytesAvailable() > 0)
            port_->readAll();
        port_->clearError();
    }

    void write(const std::uint8_t *bytes, int count) override
    {
        if (count <= 0)
            return;
        if (port_->write(reinterpret_cast<const char *>(bytes), count) < 0)
            noteLost();
        // Synchronous, but bounded: the wire time of the frame plus a second, so that a
        // line held by flow control cannot freeze the tool.
        const qint64 limitMs = WriteBoundMs(count, baudRate());
        QElapsedTimer timer;
        timer.start();
        while (port_->bytesToWrite() > 0) {
            const qint64 left = limitMs - timer.elapsed();
            if (left <= 0 || !port_->waitForBytesWritten(static_cast<int>(left)))
                break;
        }
        noteLost();
        port_->clearError();
    }

    Read readByte(std::uint8_t &byte) override
    {
        if (takeBuffered(byte))
            return Read::Byte;
        QElapsedTimer timer;
        timer.start();
        port_->waitForReadyRead(1);
        if (takeBuffered(byte))
            return Read::Byte;
        // A wait that simply ran out reports TimeoutError; anything else (ResourceError when
        // the device or the other end of a pseudo-terminal is gone) is a failed read.
        const QSerialPort::SerialPortError error = port_->error();
        const bool dead = error != QSerialPort::NoError && error != QSerialPort::TimeoutError;
        if (dead)
            noteLost();
        if (error != QSerialPort::NoError)
            port_->clearError();
        // However the wait ended, an empty turn lasts about a millisecond: a dead port fails
        // at once, and without this the exchange would spin on it until its time-out.
        const qint64 leftUs = 1000 - timer.nsecsElapsed() / 1000;
        if (leftUs > 0)
            QThread::usleep(static_cast<unsigned long>(leftUs));
        return dead ? Read::Failed : Read::Nothing;
    }

    qint32 baudRate() const override
    {
        const qint32 baud = port_->baudRate(QSerialPort::Output);
        return baud > 0 ? baud : 0;
    }

    QString lostReason() const override { return lostReason_; }

private:
    // A port that failed in a way no retry mends (the device went away, an I/O error)
    // keeps the first reason the system gave.
    void noteLost()
    {
        const QSerialPort::SerialPortError error = port_->error();
        const bool fatal = error == QSerialPort::ResourceError || error == QSerialPort::WriteError ||
                           error == QSerialPort::ReadError || error == QSerialPort::DeviceNotFoundError;
        if (fatal && lostReason_.isEmpty())
            lostReason_ = port_->errorString();
    }

    bool takeBuffered(std::uint8_t &byte)
    {
        char c = 0;
        if (port_->bytesAvailable() > 0 && port_->getChar(&c)) {
            byte = static_cast<std::uint8_t>(c);
            return true;
        }
        return false;
    }

    std::unique_ptr<QSerialPort> port_;
    QString lostReason_;
    LowLatency lowLatency_;
};

// The program that holds a port: "minicom, pid 4242"; empty where it cannot be found. First
// the UUCP-style lock file that Qt and most serial programs take (its first two lines are
// the process id and the program's name), then, on Linux, the processes this user may look
// at that have the device open.
QString portHolder(const QString &devicePath)
{
    QString name = devicePath;
    if (name.startsWith(QLatin1String("/dev/")))
        name = name.mid(5);
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    for (const char *dir : {"/var/lock", "/run/lock", "/etc/locks", "/var/spool/locks", "/var/spool/uucp", "/tmp"}) {
        QFile lock(QStringLiteral("%1/LCK..%2").arg(QLatin1String(dir), name));
        if (!lock.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> lines = lock.read(4096).split('\n');
        const QString pid = QString::fromLatin1(lines.value(0).trimmed());
        const QString program = QString::fromLocal8Bit(lines.value(1).trimmed());
        if (pid.toInt() > 0)
            return program.isEmpty() ? QStringLiteral("pid %1").arg(pid)
                                     : QStringLiteral("%1, pid %2").arg(program, pid);
    }
#ifdef __linux__
    const QString target = QFileInfo(devicePath).canonicalFilePath();
    if (target.isEmpty())
        return {};
    const QDir proc(QStringLiteral("/proc"));
    const QString self = QString::number(QCoreApplication::applicationPid());
    for (const QString &pid : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (pid == self || pid.toInt() <= 0)
            continue;
        const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
        for (const QFileInfo &fd : fds.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
            if (fd.symLinkTarget() != target)
                continue;
            QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
            const QString program =
                comm.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(comm.readAll()).trimmed() : QString();
            return program.isEmpty() ? QStringLiteral("pid %1").arg(pid)
                                     : QStringLiteral("%1, pid %2").arg(program, pid);
        }
    }
#else
    Q_UNUSED(devicePath);
#endif
    return {};
}

// What QSerialPort's open error means for the user. portName as given: a path, or a name
// that Qt looks up under /dev.
OpenFailure serialOpenFailure(const QSerialPort &port, const QString &portName)
{
    OpenFailure f;
    f.systemText = port.errorString();
    const QString path = portName.startsWith(QLatin1Char('/')) ? portName : QStringLiteral("/dev/") + portName;
    switch (port.error()) {
    case QSerialPort::DeviceNotFoundError:
        f.kind = OpenFailure::Kind::NoSuchDevice;
        break;
    case QSerialPort::PermissionError:
    case QSerialPort::OpenError: {
        // Qt reports a port another program holds (its lock file, or exclusive use) as a
        // permission error too; the file's own access rights tell the two apart.
        f.holder = portHolder(path);
        const QByteArray local = QFile::encodeName(path);
        const bool mayOpen = ::access(local.constData(), R_OK | W_OK) == 0;
        f.kind = (mayOpen || !f.holder.isEmpty()) ? OpenFailure::Kind::InUse : OpenFailure::Kind::PermissionDenied;
        break;
    }
    case QSerialPort::UnsupportedOperationError:
        f.kind = OpenFailure::Kind::NotSerialPort;
        break;
    default:
        f.kind = OpenFailure::Kind::Other;
        break;
    }
    // A file that is no terminal at all (a regular file, /dev/null) fails in the port
    // settings, whatever Qt calls it.
    if (f.kind == OpenFailure::Kind::Other || f.kind == OpenFailure::Kind::InUse) {
        const QByteArray local = QFile::encodeName(path);
        const int fd = ::open(local.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            if (!::isatty(fd)) {
                f.kind = OpenFailure::Kind::NotSerialPort;
                f.holder.clear();
            }
            ::close(fd);
        }
    }
    return f;
}

QSerialPort::Parity qtParity(Parity parity)
{
    switch (parity) {
    case Parity::None:
        return QSerialPort::NoParity;
    case Parity::Even:
        return QSerialPort::EvenParity;
    case Parity::Odd:
        return QSerialPort::OddParity;
    case Parity::Mark:
        return QSerialPort::MarkParity;
    case Parity::Space:
        return QSerialPort::SpaceParity;
    }
    return QSerialPort::NoParity;
}

QSerialPort::StopBits qtStopBits(StopBits stopBits)
{
    switch (stopBits) {
    case StopBits::One:
        return QSerialPort::OneStop;
    case StopBits::OneAndHalf:
        return QSerialPort::OneAndHalfStop;
    case StopBits::Two:
        return QSerialPort::TwoStop;
    }
    return QSerialPort::OneStop;
}

} // namespace

std::unique_ptr<SerialIo> openSystemSerial(const QString &portName, const SerialMode &mode, OpenFailure &failure)
{
    auto port = std::make_unique<QSerialPort>();
    // A bare name is looked up under /dev/, a full path (a pseudo-terminal) is taken as
    // it is. Qt takes a lock file and exclusive use, so a port held by another program
    // fails to open here.
    port->setPortName(portName);
    if (!port->open(QIODevice::ReadWrite)) {
        failure = serialOpenFailure(*port, portName);
        return nullptr;
    }
    // What the mode text sets is applied field by field; a field the port refuses (a
    // pseudo-terminal may refuse parity) is skipped, never a reason to fail the open.
    if (mode.baudRate) {
        port->setBaudRate(*mode.baudRate);
        port->clearError();
    }
    if (mode.parity) {
        port->setParity(qtParity(*mode.parity));
        port->clearError();
    }
    if (mode.dataBits) {
        // Our values are the bit counts, as Qt's are.
        port->setDataBits(static_cast<QSerialPort::DataBits>(static_cast<int>(*mode.dataBits)));
        port->clearError();
    }
    if (mode.stopBits) {
        port->setStopBits(qtStopBits(*mode.stopBits));
        port->clearError();
    }
    port->clear(QSerialPort::Output);
    port->clear(QSerialPort::Input);
    port->clearError();
    return std::make_unique<PortIo>(std::move(port));
}

} // namespace relvix
