// The load and save rules over a store in memory, and the port list.
#include "settings/settings.h"
#include "support/settingsfixture.h"

using namespace relvix;
using namespace relvix::shelltest;

namespace {

std::shared_ptr<FakeStoreState> storeWith(std::map<QString, FakeStoreState::Value> values)
{
    auto state = std::make_shared<FakeStoreState>();
    state->values = std::move(values);
    return state;
}

void expectBuiltIns(const StoredSettings &s)
{
    EXPECT_EQ(s.portName, QStringLiteral("COM3"));
    EXPECT_EQ(s.serialMode, QStringLiteral("19200,e,8,1"));
    EXPECT_EQ(s.peerAddress, QStringLiteral("192.168.1.101"));
    EXPECT_EQ(s.peerPort, QStringLiteral("4001"));
    EXPECT_EQ(s.currentLanguage, 2);
    EXPECT_EQ(s.languageFlag, QStringLiteral("ChineseBIG5"));
    EXPECT_EQ(s.transport, Transport::Serial);
}

const QStringList kReadOrder{QStringLiteral("TYPE"),  QStringLiteral("ComBaudRate"), QStringLiteral("ComPortName"),
                             QStringLiteral("NetIP"), QStringLiteral("NetPort"),     QStringLiteral("LanguageFlag")};

} // namespace

TEST(LoadSettings, MissingKeyGivesTheBuiltInsAndTraditionalChinese)
{
    auto state = std::make_shared<FakeStoreState>();
    state->keyExists = false;
    FakeStore store(state);
    expectBuiltIns(LoadSettingsFrom(store));
    EXPECT_EQ(state->closes, 0) << "nothing was opened";
}

TEST(LoadSettings, EmptyKeyGivesDefaultsAndEnglish)
{
    auto state = storeWith({});
    FakeStore store(state);
    const StoredSettings s = LoadSettingsFrom(store);
    EXPECT_EQ(s.transport, Transport::Serial);
    EXPECT_EQ(s.portName, QStringLiteral("COM3"));
    EXPECT_EQ(s.serialMode, QStringLiteral("19200,e,8,1"));
    EXPECT_EQ(s.peerAddress, QStringLiteral("192.168.1.101"));
    EXPECT_EQ(s.peerPort, QStringLiteral("4001"));
    EXPECT_EQ(s.currentLanguage, 0);
    EXPECT_EQ(s.languageFlag, QStringLiteral("English"));
    EXPECT_EQ(state->closes, 1);
}

TEST(LoadSettings, EveryValueReadInOrder)
{
    auto state = storeWith({{QStringLiteral("TYPE"), 1},
                            {QStringLiteral("ComBaudRate"), QStringLiteral("9600,n,8,1")},
                            {QStringLiteral("ComPortName"), QStringLiteral("COM5")},
                            {QStringLiteral("NetIP"), QStringLiteral("127.0.0.1")},
                            {QStringLiteral("NetPort"), QStringLiteral("502")},
                            {QStringLiteral("LanguageFlag"), QStringLiteral("ChineseGB")}});
    FakeStore store(state);
    const StoredSettings s = LoadSettingsFrom(store);
    EXPECT_EQ(state->reads, kReadOrder);
    EXPECT_EQ(s.transport, Transport::Tcp);
    EXPECT_EQ(s.serialMode, QStringLiteral("9600,n,8,1"));
    EXPECT_EQ(s.portName, QStringLiteral("COM5"));
    EXPECT_EQ(s.peerAddress, QStringLiteral("127.0.0.1"));
    EXPECT_EQ(s.peerPort, QStringLiteral("502"));
    EXPECT_EQ(s.currentLanguage, 1);
    EXPECT_EQ(s.languageFlag, QStringLiteral("ChineseGB"));
    EXPECT_EQ(state->closes, 1);
}

TEST(LoadSettings, AnyNonZeroTypeIsTcp)
{
    for (std::int32_t type : {1, 7, -1}) {
        auto state = storeWith({{QStringLiteral("TYPE"), type}});
        FakeStore store(state);
        EXPECT_EQ(LoadSettingsFrom(store).transport, Transport::Tcp) << type;
    }
}

TEST(LoadSettings, TypeStoredAsTextStopsTheLoadAndClosesTheStore)
{
    auto state = storeWith({{QStringLiteral("TYPE"), QStringLiteral("1")},
                            {QStringLiteral("ComPortName"), QStringLiteral("COM5")},
                            {QStringLiteral("LanguageFlag"), QStringLiteral("English")}});
    FakeStore store(state);
    expectBuiltIns(LoadSettingsFrom(store));
    EXPECT_EQ(state->reads, QStringList{QStringLiteral("TYPE")});
    EXPECT_EQ(state->opens, 1);
    EXPECT_EQ(state->closes, 1);
}

TEST(LoadSettings, WrongTypeMidwayKeepsWhatWasReadBefore)
{
    auto state = storeWith({{QStringLiteral("TYPE"), 1},
                            {QStringLiteral("ComBaudRate"), QStringLiteral("9600,n,8,1")},
                            {QStringLiteral("ComPortName"), 5},
                            {QStringLiteral("NetIP"), QStringLiteral("127.0.0.1")},
                            {QStringLiteral("LanguageFlag"), QStringLiteral("English")}});
    FakeStore store(state);
    const StoredSettings s = LoadSettingsFrom(store);
    EXPECT_EQ(s.transport, Transport::Tcp);
    EXPECT_EQ(s.serialMode, QStringLiteral("9600,n,8,1"));
    EXPECT_EQ(s.portName, QStringLiteral("COM3"));
    EXPECT_EQ(s.peerAddress, QStringLiteral("192.168.1.101"));
    EXPECT_EQ(s.currentLanguage, 2);
    EXPECT_EQ(s.languageFlag, QStringLiteral("ChineseBIG5"));
    EXPECT_EQ(state->closes, 1);
}

TEST(LoadSettings, LanguageFlagOfTheWrongTypeLeavesTraditionalChinese)
{
    auto state = storeWith({{QStringLiteral("NetPort"), QStringLiteral("502")}, {QStringLiteral("LanguageFlag"), 1}});
    FakeStore store(state);
    const StoredSettings s = LoadSettingsFrom(store);
    EXPECT_EQ(s.peerPort, QStringLiteral("502"));
    EXPECT_EQ(s.currentLanguage, 2);
    EXPECT_EQ(s.languageFlag, QStringLiteral("ChineseBIG5"));
    EXPECT_EQ(state->closes, 1);
}

TEST(LoadSettings, LanguageFlagIsComparedExactly)
{
    const struct {
        const char *flag;
        int language;
    } cases[] = {{"English", 0},    {"ChineseGB", 1},    {"ChineseBIG5", 2}, {"chinesegb", 0},   {"", 0},
                 {"ChineseGB ", 0}, {" ChineseBIG5", 0}, {"CHINESEBIG5", 0}, {"ChineseBig5", 0}, {"French", 0}};
    for (const auto &c : cases) {
        auto state = storeWith({{QStringLiteral("LanguageFlag"), QString::fromLatin1(c.flag)}});
        FakeStore store(state);
        const StoredSettings s = LoadSettingsFrom(store);
        EXPECT_EQ(s.currentLanguage, c.language) << c.flag;
        EXPECT_EQ(s.languageFlag, QString::fromLatin1(c.flag)) << "the flag text keeps what was read";
        EXPECT_EQ(LanguageForFlag(QString::fromLatin1(c.flag)), c.language) << c.flag;
    }
}

TEST(SaveSettings, LinkValuesAreWrittenInOrder)
{
    auto state = storeWith({});
    FakeStore store(state);
    const bool saved = SaveLinkSettingsTo(store, [] {
        return LinkSettingsRecord{Transport::Tcp, QStringLiteral("4001"), QStringLiteral("127.0.0.1"),
                                  QStringLiteral("9600,n,8,1"), QStringLiteral("COM5")};
    });
    EXPECT_TRUE(saved);
    EXPECT_EQ(state->writes,
              (QStringList{QStringLiteral("TYPE=1"), QStringLiteral("NetPort=4001"), QStringLiteral("NetIP=127.0.0.1"),
                           QStringLiteral("ComBaudRate=9600,n,8,1"), QStringLiteral("ComPortName=COM5")}));
    EXPECT_EQ(state->closes, 1);
}

TEST(SaveSettings, FailedOpenTakesNothingAndWritesNothing)
{
    auto state = storeWith({});
    state->failOpenForWrite = true;
    FakeStore store(state);
    bool taken = false;
    EXPECT_FALSE(SaveLinkSettingsTo(store, [&taken] {
        taken = true;
        return LinkSettingsRecord{};
    }));
    EXPECT_FALSE(taken);
    EXPECT_TRUE(state->writes.isEmpty());
    EXPECT_FALSE(SaveLanguageTo(store, QStringLiteral("English")));
    EXPECT_TRUE(state->writes.isEmpty());
}

TEST(SaveSettings, FailedWriteEndsTheSaveAndKeepsEarlierWrites)
{
    auto state = storeWith({});
    state->failWriteOf = QStringLiteral("NetIP");
    FakeStore store(state);
    EXPECT_FALSE(SaveLinkSettingsTo(store, [] {
        return LinkSettingsRecord{Transport::Serial, QStringLiteral("4001"), QStringLiteral("127.0.0.1"),
                                  QStringLiteral("19200,e,8,1"), QStringLiteral("COM3")};
    }));
    EXPECT_EQ(state->writes, (QStringList{QStringLiteral("TYPE=0"), QStringLiteral("NetPort=4001"),
                                          QStringLiteral("NetIP=127.0.0.1")}));
    EXPECT_EQ(state->values.count(QStringLiteral("TYPE")), 1u);
    EXPECT_EQ(state->values.count(QStringLiteral("ComPortName")), 0u);
    EXPECT_EQ(state->closes, 1) << "a failed write still closes the store";
}

TEST(SaveSettings, LanguageWritesOnlyTheFlag)
{
    auto state = storeWith({});
    FakeStore store(state);
    EXPECT_TRUE(SaveLanguageTo(store, QStringLiteral("ChineseGB")));
    EXPECT_EQ(state->writes, QStringList{QStringLiteral("LanguageFlag=ChineseGB")});
    EXPECT_EQ(state->closes, 1);
}
