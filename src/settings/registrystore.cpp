// The settings store of Windows: HKEY_LOCAL_MACHINE\Software\Kavrel\Relvix, one key for every
// user of the machine, opened and closed for each settings operation. A process without
// elevation (every process of a default Windows 10 or 11 account, administrators' included)
// may not open that key with full access: it then reads and writes the same values under
// HKEY_CURRENT_USER\Software\Kavrel\Relvix, so its connects and language are remembered.
#include "settings/registrystore.h"

#include "link/winregistry.h"

namespace relvix {

namespace {

constexpr const char *kKeyPath = "Software\\Kavrel\\Relvix";
// KEY_ALL_ACCESS: the key is opened with full access for reading too, so a user without
// the rights to write it reads the built-ins, as on a machine without the key.
constexpr REGSAM kFullAccess = 0xF003F;

LSTATUS openInSystem(HKEY root, bool create, HKEY *key)
{
    if (!create)
        return RegOpenKeyExA(root, kKeyPath, 0, kFullAccess, key);
    DWORD disposition = 0;
    return RegCreateKeyExA(root, kKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE, kFullAccess, nullptr, key,
                           &disposition);
}

class RegistrySettingsStore final : public SettingsStore {
public:
    explicit RegistrySettingsStore(RegistryKeyOpener opener) : open_(std::move(opener)) {}
    ~RegistrySettingsStore() override { close(); }

    // The machine's key first, as always; the user's where the machine's is refused or absent.
    bool openForRead() override { return openIn(false); }
    bool openForWrite() override { return openIn(true); }
    void close() override
    {
        if (key_)
            RegCloseKey(key_);
        key_ = nullptr;
    }
    bool exists(const QString &name) override
    {
        return key_ &&
               RegQueryValueExA(key_, name.toLatin1().constData(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    }
    bool readInt(const QString &name, std::int32_t &value) override
    {
        if (!key_)
            return false;
        DWORD type = 0;
        DWORD data = 0;
        DWORD size = sizeof data;
        if (RegQueryValueExA(key_, name.toLatin1().constData(), nullptr, &type, reinterpret_cast<LPBYTE>(&data),
                             &size) != ERROR_SUCCESS ||
            type != REG_DWORD)
            return false;
        value = static_cast<std::int32_t>(data);
        return true;
    }
    bool readString(const QString &name, QString &value) override
    {
        return key_ && readRegistryString(key_, name.toLatin1().constData(), value);
    }
    bool writeInt(const QString &name, std::int32_t value) override
    {
        const DWORD data = static_cast<DWORD>(value);
        return key_ && RegSetValueExA(key_, name.toLatin1().constData(), 0, REG_DWORD,
                                      reinterpret_cast<const BYTE *>(&data), sizeof data) == ERROR_SUCCESS;
    }
    bool writeString(const QString &name, const QString &value) override
    {
        // The stored length counts the terminating zero byte.
        const QByteArray text = value.toLocal8Bit();
        return key_ && RegSetValueExA(key_, name.toLatin1().constData(), 0, REG_SZ,
                                      reinterpret_cast<const BYTE *>(text.constData()),
                                      static_cast<DWORD>(text.size() + 1)) == ERROR_SUCCESS;
    }

private:
    bool openIn(bool create)
    {
        close();
        for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
            if (open_(root, create, &key_) == ERROR_SUCCESS)
                return true;
            key_ = nullptr;
        }
        return false;
    }

    RegistryKeyOpener open_;
    HKEY key_ = nullptr;
};

} // namespace

std::unique_ptr<SettingsStore> makeRegistrySettingsStore(RegistryKeyOpener opener)
{
    return std::make_unique<RegistrySettingsStore>(opener ? std::move(opener) : RegistryKeyOpener(openInSystem));
}

std::unique_ptr<SettingsStore> makePlatformSettingsStore()
{
    return makeRegistrySettingsStore({});
}

} // namespace relvix
