#pragma once
// The system's own words for a Windows error code, for open failures and lost links.
#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <QString>

namespace relvix {

// "Access is denied." without the line break the system puts at its end; for the common
// Winsock codes that the system has no text for, words of our own; else "error N".
inline QString windowsErrorText(DWORD code)
{
    wchar_t *text = nullptr;
    const DWORD length =
        ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                         nullptr, code, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    QString message;
    if (length > 0 && text)
        message = QString::fromWCharArray(text, static_cast<qsizetype>(length)).trimmed();
    if (text)
        ::LocalFree(text);
    if (!message.isEmpty())
        return message;
    // Wine, and some Windows installations, carry no texts for the Winsock codes.
    switch (code) {
    case 10013:
        return QStringLiteral("permission denied");
    case 10048:
        return QStringLiteral("address in use");
    case 10049:
        return QStringLiteral("address not available");
    case 10050:
        return QStringLiteral("network is down");
    case 10051:
        return QStringLiteral("network unreachable");
    case 10053:
        return QStringLiteral("connection aborted");
    case 10054:
        return QStringLiteral("connection reset by peer");
    case 10057:
        return QStringLiteral("not connected");
    case 10060:
        return QStringLiteral("timed out");
    case 10061:
        return QStringLiteral("connection refused");
    case 10064:
        return QStringLiteral("host is down");
    case 10065:
        return QStringLiteral("no route to host");
    case 11001:
        return QStringLiteral("host not found");
    default:
        return QStringLiteral("error %1").arg(code);
    }
}

} // namespace relvix
#endif
