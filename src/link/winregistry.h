#pragma once
// Reading the Windows registry, for the settings key and the system's serial-port map.
#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <QString>

namespace relvix {

// Reads a REG_SZ or REG_EXPAND_SZ value (without expansion) up to its first zero byte.
inline bool readRegistryString(HKEY key, const char *name, QString &value)
{
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return false;
    if (size == 0) {
        value.clear();
        return true;
    }
    QByteArray data(static_cast<qsizetype>(size) + 1, '\0');
    DWORD got = size;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(data.data()), &got) != ERROR_SUCCESS)
        return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return false;
    value = QString::fromLocal8Bit(data.constData()); // ends at the first zero byte
    return true;
}

} // namespace relvix
#endif
