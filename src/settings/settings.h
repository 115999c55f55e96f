#pragma once
#include "link/readerlink.h"

#include <QString>
#include <cstdint>
#include <functional>

namespace relvix {

class SettingsStore;

// Value names in the settings key.
namespace settingname {
inline const QString Type = QStringLiteral("TYPE");
inline const QString ComBaudRate = QStringLiteral("ComBaudRate");
inline const QString ComPortName = QStringLiteral("ComPortName");
inline const QString NetIP = QStringLiteral("NetIP");
inline const QString NetPort = QStringLiteral("NetPort");
inline const QString LanguageFlag = QStringLiteral("LanguageFlag");
} // namespace settingname

// What a load yields. The initial values are the built-ins that stand when the key is missing,
// and the only place they are written down.
struct StoredSettings {
    QString portName = QStringLiteral("COM3");
    QString serialMode = QStringLiteral("19200,e,8,1");
    QString peerPort = QStringLiteral("4001");
    QString peerAddress = QStringLiteral("192.168.1.101");
    // A machine that has never saved anything starts in Traditional Chinese.
    int currentLanguage = 2;
    QString languageFlag = QStringLiteral("ChineseBIG5");
    // TYPE: 0 serial, any other value TCP.
    Transport transport = Transport::Serial;
};

// Reads TYPE, ComBaudRate, ComPortName, NetIP, NetPort, LanguageFlag in that order. An absent
// value takes its default; a value of the wrong type stops the load there, leaving what was
// read before it and the built-ins after it. A store that opened is always closed again.
StoredSettings LoadSettingsFrom(SettingsStore &store);

// 0, 1 or 2 for a stored flag: exact, case-sensitive, whole-text comparison; anything else is 0.
int LanguageForFlag(const QString &flag);

// The link values as written by a save, TYPE (0 serial, 1 TCP) first.
struct LinkSettingsRecord {
    Transport transport = Transport::Serial;
    QString netPort;
    QString netIP;
    QString comBaudRate;
    QString comPortName;
};

// Opens the store for writing; only when that works is take() asked for the values, which are
// then written as TYPE, NetPort, NetIP, ComBaudRate, ComPortName. The first failed write ends
// the save (earlier writes stay). True when everything was written.
bool SaveLinkSettingsTo(SettingsStore &store, const std::function<LinkSettingsRecord()> &take);

// Writes LanguageFlag alone. True when it was written.
bool SaveLanguageTo(SettingsStore &store, const QString &languageFlag);

} // namespace relvix
