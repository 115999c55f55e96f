#pragma once
// The system's own words for a Windows error code, for open failures and lost links.
#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <QString>

namespace relvix {

// "Access is denied." without the line break the system puts at its end; "error N" where
// the system has no text for the code.
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
    return message.isEmpty() ? QStringLiteral("error %1").arg(code) : message;
}

} // namespace relvix
#endif
