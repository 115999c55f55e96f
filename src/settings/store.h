#pragma once
#include <QString>
#include <cstdint>
#include <memory>

namespace relvix {

// One settings key with typed values, opened for one settings operation and closed again.
class SettingsStore {
public:
    virtual ~SettingsStore() = default;
    // Open for reading without creating; false when the key is absent or unreadable.
    virtual bool openForRead() = 0;
    // Open for writing, creating the key when absent.
    virtual bool openForWrite() = 0;
    virtual void close() = 0;
    virtual bool exists(const QString &name) = 0;
    // False when the value is not of that type (or cannot be read).
    virtual bool readInt(const QString &name, std::int32_t &value) = 0;
    virtual bool readString(const QString &name, QString &value) = 0;
    // False when the write failed.
    virtual bool writeInt(const QString &name, std::int32_t value) = 0;
    virtual bool writeString(const QString &name, const QString &value) = 0;
    // Why the latest open or write failed, in words ("cannot read PATH: Permission denied"); empty
    // when it did not, when the key is simply absent, or when the store cannot tell.
    virtual QString failure() const { return {}; }
};

// The platform store: on Windows the HKLM registry key, elsewhere
// $XDG_CONFIG_HOME/Kavrel/Relvix.conf with machine-wide defaults from the system folders.
std::unique_ptr<SettingsStore> makePlatformSettingsStore();

} // namespace relvix
