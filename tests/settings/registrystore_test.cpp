// The registry store of Windows, in the registry of the test run's own Wine prefix: what it
// writes is what QSettings' native reader finds under HKLM\Software\Kavrel\Relvix, and what
// is found there is what it loads.
#include "settings/registrystore.h"
#include "settings/settings.h"
#include "settings/store.h"
#include "support/platform.h"

#include <QSettings>
#include <gtest/gtest.h>

using namespace relvix;

namespace {

const QString kKey = QStringLiteral("HKEY_LOCAL_MACHINE\\Software\\Kavrel\\Relvix");

class RegistryStore : public ::testing::Test {
protected:
    void SetUp() override { relvix::testing::clearPlatformSettings(); }
    void TearDown() override { relvix::testing::clearPlatformSettings(); }
};

} // namespace

TEST_F(RegistryStore, NoKeyGivesTheBuiltInsAndAReadCreatesNothing)
{
    auto store = makePlatformSettingsStore();
    EXPECT_FALSE(store->openForRead());
    const StoredSettings s = LoadSettingsFrom(*store);
    EXPECT_EQ(s.peerAddress, QStringLiteral("192.168.1.101"));
    EXPECT_EQ(s.languageFlag, QStringLiteral("ChineseBIG5"));
    EXPECT_TRUE(QSettings(kKey, QSettings::NativeFormat).childKeys().isEmpty());
}

TEST_F(RegistryStore, SavedLinkAndLanguageAreTheKeysValuesWithTheirTypes)
{
    auto store = makePlatformSettingsStore();
    ASSERT_TRUE(SaveLinkSettingsTo(*store, [] {
        return LinkSettingsRecord{Transport::Tcp, QStringLiteral("4001"), QStringLiteral("127.0.0.1"),
                                  QStringLiteral("9600,n,8,1"), QStringLiteral("COM7")};
    }));
    ASSERT_TRUE(SaveLanguageTo(*store, QStringLiteral("ChineseGB")));

    const QSettings key(kKey, QSettings::NativeFormat);
    EXPECT_EQ(key.value("TYPE").typeId(), QMetaType::Int) << "TYPE is a DWORD";
    EXPECT_EQ(key.value("TYPE").toInt(), 1);
    EXPECT_EQ(key.value("NetIP").typeId(), QMetaType::QString);
    EXPECT_EQ(key.value("NetIP").toString(), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(key.value("NetPort").toString(), QStringLiteral("4001"));
    EXPECT_EQ(key.value("ComBaudRate").toString(), QStringLiteral("9600,n,8,1"));
    EXPECT_EQ(key.value("ComPortName").toString(), QStringLiteral("COM7"));
    EXPECT_EQ(key.value("LanguageFlag").toString(), QStringLiteral("ChineseGB"));

    const StoredSettings s = LoadSettingsFrom(*store);
    EXPECT_EQ(s.transport, Transport::Tcp);
    EXPECT_EQ(s.peerAddress, QStringLiteral("127.0.0.1"));
    EXPECT_EQ(s.serialMode, QStringLiteral("9600,n,8,1"));
    EXPECT_EQ(s.portName, QStringLiteral("COM7"));
    EXPECT_EQ(s.currentLanguage, 1);
}

TEST_F(RegistryStore, AValueOfTheWrongTypeStopsTheLoadThere)
{
    {
        QSettings key(kKey, QSettings::NativeFormat);
        key.setValue("TYPE", 1);
        key.setValue("ComBaudRate", 9600); // a DWORD where a string belongs
        key.setValue("ComPortName", "COM9");
    }
    auto store = makePlatformSettingsStore();
    const StoredSettings s = LoadSettingsFrom(*store);
    EXPECT_EQ(s.transport, Transport::Tcp);
    EXPECT_EQ(s.serialMode, QStringLiteral("19200,e,8,1"));
    EXPECT_EQ(s.portName, QStringLiteral("COM3")) << "read after the bad value: not taken";
}

// On Windows 10 and 11 a process without elevation may not open the machine's key with full
// access, so every start read the built-ins and no connect or language was remembered. Where
// the machine's key refuses, the user's key holds the same values; a later run that may open
// the machine's key reads that one first.
TEST_F(RegistryStore, AMachineKeyThatRefusesGivesWayToTheUsersKey)
{
    const QString userKey = QStringLiteral("HKEY_CURRENT_USER\\Software\\Kavrel\\Relvix");
    auto refused = makeRegistrySettingsStore([](HKEY root, bool create, HKEY *key) -> LSTATUS {
        if (root == HKEY_LOCAL_MACHINE)
            return ERROR_ACCESS_DENIED;
        DWORD disposition = 0;
        return create ? RegCreateKeyExA(root, "Software\\Kavrel\\Relvix", 0, nullptr, REG_OPTION_NON_VOLATILE, 0xF003F,
                                        nullptr, key, &disposition)
                      : RegOpenKeyExA(root, "Software\\Kavrel\\Relvix", 0, 0xF003F, key);
    });
    EXPECT_FALSE(refused->openForRead()) << "neither key yet";
    ASSERT_TRUE(SaveLinkSettingsTo(*refused, [] {
        return LinkSettingsRecord{Transport::Tcp, QStringLiteral("4002"), QStringLiteral("127.0.0.1"),
                                  QStringLiteral("9600,n,8,1"), QStringLiteral("COM7")};
    }));
    ASSERT_TRUE(SaveLanguageTo(*refused, QStringLiteral("English")));
    EXPECT_TRUE(QSettings(kKey, QSettings::NativeFormat).childKeys().isEmpty()) << "nothing in the machine's key";
    const QSettings user(userKey, QSettings::NativeFormat);
    EXPECT_EQ(user.value("TYPE").typeId(), QMetaType::Int) << "TYPE is a DWORD there too";
    EXPECT_EQ(user.value("NetPort").toString(), QStringLiteral("4002"));
    StoredSettings s = LoadSettingsFrom(*refused);
    EXPECT_EQ(s.transport, Transport::Tcp);
    EXPECT_EQ(s.peerPort, QStringLiteral("4002"));
    EXPECT_EQ(s.portName, QStringLiteral("COM7"));
    EXPECT_EQ(s.currentLanguage, 0);

    // A run that may open the machine's key reads it first, and writes there.
    {
        QSettings machine(kKey, QSettings::NativeFormat);
        machine.setValue("LanguageFlag", "ChineseGB");
    }
    auto store = makePlatformSettingsStore();
    s = LoadSettingsFrom(*store);
    EXPECT_EQ(s.currentLanguage, 1);
    EXPECT_EQ(s.peerPort, QStringLiteral("4001")) << "the machine's key alone, with its defaults";
}
