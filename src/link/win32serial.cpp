// The serial backend of Windows: the system's comm calls behind the link's SerialIo.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "link/serialbackend.h"
#include "link/winerror.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <algorithm>
#include <array>

namespace relvix {
namespace {

constexpr DWORD kPurgeAll = PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR;

class Win32PortIo final : public SerialIo {
public:
    Win32PortIo(HANDLE port, qint32 baud) : port_(port), baud_(baud) {}

    ~Win32PortIo() override
    {
        ::PurgeComm(port_, kPurgeAll);
        ::CloseHandle(port_);
    }

    void purge() override
    {
        ::PurgeComm(port_, kPurgeAll);
        clearLineErrors();
        next_ = count_ = 0;
    }

    void write(const std::uint8_t *bytes, int count) override
    {
        if (count <= 0)
            return;
        // Synchronous; the port's write time-outs (set at the open) bound it by the wire time
        // of the frame plus a second, so that a line held by flow control cannot freeze us.
        DWORD written = 0;
        if (!::WriteFile(port_, bytes, static_cast<DWORD>(count), &written, nullptr))
            noteFailure(::GetLastError());
    }

    Read readByte(std::uint8_t &byte) override
    {
        if (takeBuffered(byte))
            return Read::Byte;
        // The read time-outs make this return at once with what the driver holds, or with the
        // first bytes that come within about 1 ms, or with none.
        QElapsedTimer timer;
        timer.start();
        DWORD got = 0;
        if (::ReadFile(port_, buffer_.data(), static_cast<DWORD>(buffer_.size()), &got, nullptr)) {
            count_ = got;
            next_ = 0;
            if (takeBuffered(byte))
                return Read::Byte;
            pauseRestOfTurn(timer);
            return Read::Nothing;
        }
        const DWORD error = ::GetLastError();
        const bool dead = noteFailure(error);
        // However it ended, an empty turn lasts about a millisecond: a dead port fails at
        // once, and without this the exchange would spin on it until its time-out.
        pauseRestOfTurn(timer);
        return dead ? Read::Failed : Read::Nothing;
    }

    qint32 baudRate() const override { return baud_; }

    QString lostReason() const override { return lostReason_; }

private:
    // A line error (framing, parity, overrun) stops reads and writes until it is cleared,
    // where the driver is set to; it is cleared and the port goes on. Anything else (the
    // device went away, an I/O error) no retry mends: the port keeps the first reason.
    bool noteFailure(DWORD error)
    {
        if (error == ERROR_OPERATION_ABORTED) {
            clearLineErrors();
            return false;
        }
        if (lostReason_.isEmpty())
            lostReason_ = windowsErrorText(error);
        return true;
    }

    void clearLineErrors()
    {
        DWORD errors = 0;
        ::ClearCommError(port_, &errors, nullptr);
    }

    bool takeBuffered(std::uint8_t &byte)
    {
        if (next_ >= count_)
            return false;
        byte = buffer_[next_++];
        return true;
    }

    static void pauseRestOfTurn(const QElapsedTimer &timer)
    {
        if (timer.elapsed() < 1)
            ::Sleep(1);
    }

    HANDLE port_;
    qint32 baud_;
    QString lostReason_;
    // What one read brought beyond the byte taken; the next turns hand it out first.
    std::array<std::uint8_t, 256> buffer_{};
    DWORD next_ = 0;
    DWORD count_ = 0;
};

OpenFailure openFailure(DWORD error)
{
    OpenFailure f;
    f.systemText = windowsErrorText(error);
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_DEV_NOT_EXIST:
        f.kind = OpenFailure::Kind::NoSuchDevice;
        break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        // Windows says "access denied" for a port that another program has open; a port is
        // never closed to a user who may log on. Who holds it, the system does not say.
        f.kind = OpenFailure::Kind::InUse;
        break;
    default:
        f.kind = OpenFailure::Kind::Other;
        break;
    }
    return f;
}

// The mode's fields as BuildCommDCBA reads them: "baud=19200", "parity=E", "data=8", "stop=1".
QList<QByteArray> modeFields(const SerialMode &mode)
{
    QList<QByteArray> fields;
    if (mode.baudRate)
        fields.append("baud=" + QByteArray::number(*mode.baudRate));
    if (mode.parity) {
        static constexpr char kLetters[] = {'N', 'E', 'O', 'M', 'S'};
        fields.append(QByteArray("parity=") + kLetters[static_cast<int>(*mode.parity)]);
    }
    if (mode.dataBits)
        fields.append("data=" + QByteArray::number(static_cast<int>(*mode.dataBits)));
    if (mode.stopBits) {
        static constexpr const char *kCounts[] = {"1", "1.5", "2"};
        fields.append(QByteArray("stop=") + kCounts[static_cast<int>(*mode.stopBits)]);
    }
    return fields;
}

// Raw bytes, no flow control of either kind, DTR and RTS raised (some line converters draw
// their power from them), and a line error that does not stop the port.
void plainLine(DCB &dcb)
{
    dcb.fBinary = TRUE;
    dcb.fParity = dcb.Parity != NOPARITY;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
}

// Applies the mode field by field: a field the driver refuses (BuildCommDCBA cannot read it,
// or SetCommState turns it down) is skipped, and the port keeps what it had for it.
void applyMode(HANDLE port, const SerialMode &mode)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(port, &dcb))
        return;
    for (const QByteArray &field : modeFields(mode)) {
        DCB next = dcb;
        if (!::BuildCommDCBA(field.constData(), &next))
            continue;
        plainLine(next);
        if (::SetCommState(port, &next))
            dcb = next;
    }
    plainLine(dcb);
    ::SetCommState(port, &dcb);
}

} // namespace

std::unique_ptr<SerialIo> openSystemSerial(const QString &portName, const SerialMode &mode, OpenFailure &failure)
{
    // "COM3" as the device "\\.\COM3", the form that also reaches COM10 and above; a name
    // already in that form is taken as it is.
    const QString device =
        portName.startsWith(QLatin1String("\\\\.\\")) ? portName : QStringLiteral("\\\\.\\") + portName;
    const QByteArray local = device.toLocal8Bit();
    // No sharing: a port another program has open fails here, as on Linux.
    const HANDLE port =
        ::CreateFileA(local.constData(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        failure = openFailure(::GetLastError());
        return nullptr;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(port, &dcb)) {
        // It opened, but it is no serial port (NUL, a printer, a file).
        failure = {OpenFailure::Kind::NotSerialPort, windowsErrorText(::GetLastError()), {}};
        ::CloseHandle(port);
        return nullptr;
    }
    applyMode(port, mode);
    if (::GetCommState(port, &dcb) == FALSE)
        dcb.BaudRate = 0;

    // Reads: all that is there at once; when nothing is, the first bytes that come within
    // about 1 ms, else none (a read interval and multiplier of MAXDWORD ask exactly that).
    // Writes: the frame's wire time at the port's speed (at least 1200 baud, 11 bits a
    // character, rounded up per character) plus a second.
    COMMTIMEOUTS timeouts{};
    ::GetCommTimeouts(port, &timeouts);
    const DWORD baud = std::max<DWORD>(dcb.BaudRate, kSlowestCountedBaud);
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = 1;
    timeouts.WriteTotalTimeoutMultiplier = (kBitsPerCharacter * 1000 + baud - 1) / baud;
    timeouts.WriteTotalTimeoutConstant = kWriteSlackMs;
    if (!::SetCommTimeouts(port, &timeouts)) {
        // Without them a read could wait for ever.
        failure = {OpenFailure::Kind::Other, windowsErrorText(::GetLastError()), {}};
        ::CloseHandle(port);
        return nullptr;
    }
    ::PurgeComm(port, kPurgeAll);
    return std::make_unique<Win32PortIo>(port, ClampedCount(dcb.BaudRate));
}

} // namespace relvix
