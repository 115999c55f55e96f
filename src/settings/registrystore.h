#pragma once
// The registry store of Windows, with the seam its tests use to make a key refuse access.
#include "settings/store.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <functional>

namespace relvix {

// Opens (create false) or creates (create true) Software\Kavrel\Relvix under root with full
// access, as RegOpenKeyExA and RegCreateKeyExA do, and gives their result.
using RegistryKeyOpener = std::function<LSTATUS(HKEY root, bool create, HKEY *key)>;

// The store over the given opener (the system's when empty): the key under HKEY_LOCAL_MACHINE,
// or, where that cannot be opened or created with full access, the one under
// HKEY_CURRENT_USER.
std::unique_ptr<SettingsStore> makeRegistrySettingsStore(RegistryKeyOpener opener);

} // namespace relvix
#endif
