#include "settings/settings.h"

#include "settings/store.h"

namespace relvix {

namespace {

// Closes an opened store on every way out of a load or save.
class OpenedStore {
public:
    explicit OpenedStore(SettingsStore &store) : store_(store) {}
    ~OpenedStore() { store_.close(); }
    OpenedStore(const OpenedStore &) = delete;
    OpenedStore &operator=(const OpenedStore &) = delete;

private:
    SettingsStore &store_;
};

// One string value: true on success (absent counts as success and gives the default).
bool readStringOr(SettingsStore &store, const QString &name, const QString &fallback, QString &target)
{
    if (!store.exists(name)) {
        target = fallback;
        return true;
    }
    QString text;
    if (!store.readString(name, text))
        return false;
    target = text;
    return true;
}

} // namespace

int LanguageForFlag(const QString &flag)
{
    int language = 0;
    if (flag == QLatin1String("ChineseGB"))
        language = 1;
    if (flag == QLatin1String("ChineseBIG5"))
        language = 2;
    return language;
}

StoredSettings LoadSettingsFrom(SettingsStore &store)
{
    const StoredSettings builtIn;
    StoredSettings s;
    if (!store.openForRead())
        return s;
    OpenedStore opened(store);

    if (store.exists(settingname::Type)) {
        std::int32_t type = 0;
        if (!store.readInt(settingname::Type, type))
            return s;
        s.transport = type != 0 ? Transport::Tcp : Transport::Serial;
    } else {
        s.transport = Transport::Serial;
    }
    if (!readStringOr(store, settingname::ComBaudRate, builtIn.serialMode, s.serialMode))
        return s;
    if (!readStringOr(store, settingname::ComPortName, builtIn.portName, s.portName))
        return s;
    if (!readStringOr(store, settingname::NetIP, builtIn.peerAddress, s.peerAddress))
        return s;
    if (!readStringOr(store, settingname::NetPort, builtIn.peerPort, s.peerPort))
        return s;
    if (store.exists(settingname::LanguageFlag)) {
        QString flag;
        if (!store.readString(settingname::LanguageFlag, flag))
            return s;
        s.languageFlag = flag;
        s.currentLanguage = LanguageForFlag(flag);
    } else {
        // The key exists but was never given a language: English, unlike a missing key.
        s.languageFlag = QStringLiteral("English");
        s.currentLanguage = 0;
    }
    return s;
}

bool SaveLinkSettingsTo(SettingsStore &store, const std::function<LinkSettingsRecord()> &take)
{
    if (!store.openForWrite())
        return false;
    OpenedStore opened(store);
    const LinkSettingsRecord r = take();
    return store.writeInt(settingname::Type, r.transport == Transport::Tcp ? 1 : 0) &&
           store.writeString(settingname::NetPort, r.netPort) && store.writeString(settingname::NetIP, r.netIP) &&
           store.writeString(settingname::ComBaudRate, r.comBaudRate) &&
           store.writeString(settingname::ComPortName, r.comPortName);
}

bool SaveLanguageTo(SettingsStore &store, const QString &languageFlag)
{
    if (!store.openForWrite())
        return false;
    OpenedStore opened(store);
    return store.writeString(settingname::LanguageFlag, languageFlag);
}

} // namespace relvix
