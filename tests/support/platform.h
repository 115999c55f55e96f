#pragma once
// What the suites need to know of the system they run on. On Windows (under Wine on the
// build machine) the virtual reader serves TCP only, and the settings live in the registry.
#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

#include <QString>
#include <gtest/gtest.h>

namespace relvix::testing {

#ifdef _WIN32
// A device that opens but is no serial port.
inline const QString kNullDevice = QStringLiteral("NUL");
#else
inline const QString kNullDevice = QStringLiteral("/dev/null");
#endif

// The stored settings start out absent, as in a fresh settings folder: on Windows the one
// registry key of the machine is removed (the test run has a registry of its own).
inline void clearPlatformSettings()
{
#ifdef _WIN32
    ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\Kavrel\\Relvix");
    ::RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Kavrel\\Relvix");
#endif
}

// True under Wine, whose emulation of a few system behaviours differs from Windows itself.
inline bool underWine()
{
#ifdef _WIN32
    const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version");
#else
    return false;
#endif
}

} // namespace relvix::testing

// Ends a test that needs the virtual reader on a pseudo-terminal where there is none.
#ifdef _WIN32
#define RELVIX_SKIP_WITHOUT_PTY() GTEST_SKIP() << "no pseudo-terminal on Windows: the virtual reader serves TCP only"
#else
#define RELVIX_SKIP_WITHOUT_PTY() static_cast<void>(0)
#endif
