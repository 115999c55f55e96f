// The per-user settings file with machine-wide defaults, in temporary folders.
#include "shell/settings.h"
#include "settingsfixture.h"

#include <QDirIterator>
#include <unistd.h>

using namespace relvix;
using namespace relvix::shelltest;

namespace {

// Bytes of a literal, embedded zeros included.
template <std::size_t N>
QByteArray bytes(const char (&text)[N])
{
    return QByteArray(text, N - 1);
}

class SettingsFile : public ::testing::Test {
protected:
    SettingsFolders folders;
    std::unique_ptr<SettingsStore> store = makePlatformSettingsStore();

    QString readString(const QString &name)
    {
        QString value;
        EXPECT_TRUE(store->readString(name, value)) << name.toStdString();
        return value;
    }
    QByteArray rawUserFile() const
    {
        QFile file(folders.userFile());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
};

} // namespace

TEST_F(SettingsFile, NoFileMeansNoKey)
{
    EXPECT_FALSE(store->openForRead());
    const StoredSettings s = LoadSettingsFrom(*store);
    EXPECT_EQ(s.currentLanguage, 2);
    EXPECT_EQ(s.languageFlag, QStringLiteral("ChineseBIG5"));
    EXPECT_FALSE(QFile::exists(folders.userFile())) << "reading never creates the file";
}

TEST_F(SettingsFile, WriteCreatesTheFolderAndFileThenReadsBack)
{
    ASSERT_TRUE(store->openForWrite());
    EXPECT_TRUE(store->writeInt(QStringLiteral("TYPE"), 1));
    EXPECT_TRUE(store->writeString(QStringLiteral("NetPort"), QStringLiteral("4001")));
    EXPECT_TRUE(store->writeString(QStringLiteral("ComBaudRate"), QStringLiteral("19200,e,8,1")));
    store->close();
    EXPECT_TRUE(QFile::exists(folders.userFile()));
    // Integers are stored as numbers, texts as texts.
    EXPECT_TRUE(rawUserFile().contains("TYPE=1\n"));
    EXPECT_TRUE(rawUserFile().contains("NetPort=4001\n"));

    ASSERT_TRUE(store->openForRead());
    std::int32_t type = 0;
    EXPECT_TRUE(store->readInt(QStringLiteral("TYPE"), type));
    EXPECT_EQ(type, 1);
    EXPECT_EQ(readString(QStringLiteral("NetPort")), QStringLiteral("4001"));
    EXPECT_EQ(readString(QStringLiteral("ComBaudRate")), QStringLiteral("19200,e,8,1"));
    EXPECT_FALSE(store->exists(QStringLiteral("NetIP")));
    store->close();
}

TEST_F(SettingsFile, TextsRoundTripExactly)
{
    const QStringList texts{QStringLiteral("19200,e,8,1"), QStringLiteral(" padded "), QStringLiteral(""),
                            QStringLiteral("a;b=c"), QStringLiteral("@literal"), QStringLiteral("\"quoted\""),
                            QStringLiteral("連線裝置"), QStringLiteral("back\\slash")};
    ASSERT_TRUE(store->openForWrite());
    for (int i = 0; i < texts.size(); ++i)
        ASSERT_TRUE(store->writeString(QStringLiteral("V%1").arg(i), texts[i]));
    store->close();
    ASSERT_TRUE(store->openForRead());
    for (int i = 0; i < texts.size(); ++i)
        EXPECT_EQ(readString(QStringLiteral("V%1").arg(i)), texts[i]);
    store->close();
}

TEST_F(SettingsFile, SerialModeWrittenByHandWithoutQuotesReadsAsText)
{
    folders.writeUserFile("[General]\nComBaudRate=19200,e,8,1\nComPortName=ttyUSB0\n");
    ASSERT_TRUE(store->openForRead());
    EXPECT_EQ(readString(QStringLiteral("ComBaudRate")), QStringLiteral("19200,e,8,1"));
    store->close();
    const StoredSettings s = LoadSettingsFrom(*store);
    EXPECT_EQ(s.serialMode, QStringLiteral("19200,e,8,1"));
    EXPECT_EQ(s.portName, QStringLiteral("ttyUSB0"));
}

// Found by fuzzing: a stray '/' in a hand-written name made the next save write a line
// "=value", which the following start took for a corrupt file, losing every setting.
TEST_F(SettingsFile, ALanguageSaveKeepsAFileWithOddNamesReadable)
{
    folders.writeUserFile("[General]\nTYPE=1\nComPortName=ttyUSB1\nNetI/=127.0.0.1\nNetPort=4001\n");
    ASSERT_EQ(LoadSettingsFrom(*store).storedType, 1);
    ASSERT_TRUE(SaveLanguageTo(*store, QStringLiteral("ChineseGB")));
    const StoredSettings s = LoadSettingsFrom(*store);
    EXPECT_EQ(s.storedType, 1);
    EXPECT_EQ(s.portName, QStringLiteral("ttyUSB1"));
    EXPECT_EQ(s.currentLanguage, 1);
}

// Also found by fuzzing: a section line without its closing bracket read as no key, but the
// next save kept the file and brought its old values back on the following start.
TEST_F(SettingsFile, AFileTheReaderRejectsIsReplacedByTheNextSave)
{
    folders.writeUserFile("[General]\nTYPE=1\n[Genera=19200,e,8,1\nNetIP=127.0.0.1\n");
    const StoredSettings before = LoadSettingsFrom(*store);
    EXPECT_EQ(before.storedType, 0);
    EXPECT_EQ(before.currentLanguage, 2);
    ASSERT_TRUE(SaveLanguageTo(*store, QStringLiteral("English")));
    const StoredSettings after = LoadSettingsFrom(*store);
    EXPECT_EQ(after.storedType, 0);
    EXPECT_EQ(after.peerAddress, QStringLiteral("192.168.1.101"));
    EXPECT_EQ(after.currentLanguage, 0);
}

TEST_F(SettingsFile, ABrokenSectionAfterACarriageReturnIsCorruptToo)
{
    folders.writeUserFile("[General]\nTYPE=1\nNetIP=127.0.0.1\r\t[er\n");
    EXPECT_EQ(LoadSettingsFrom(*store).storedType, 0);
    ASSERT_TRUE(SaveLanguageTo(*store, QStringLiteral("English")));
    EXPECT_EQ(LoadSettingsFrom(*store).storedType, 0);
}

TEST_F(SettingsFile, TypeThatIsNotAnIntegerIsTheWrongType)
{
    for (const char *text : {"abc", "1.5", "", "1x", "\"\"", "99999999999"}) {
        folders.writeUserFile(QByteArray("[General]\nTYPE=") + text + "\nLanguageFlag=English\n");
        ASSERT_TRUE(store->openForRead()) << text;
        std::int32_t type = 42;
        EXPECT_FALSE(store->readInt(QStringLiteral("TYPE"), type)) << text;
        store->close();
        const StoredSettings s = LoadSettingsFrom(*store);
        EXPECT_EQ(s.storedType, 0) << text;
        EXPECT_EQ(s.currentLanguage, 2) << text;
    }
}

TEST_F(SettingsFile, IntegersAreThirtyTwoBits)
{
    folders.writeUserFile("[General]\nA=-1\nB=4294967295\nC=7\n");
    ASSERT_TRUE(store->openForRead());
    std::int32_t value = 0;
    EXPECT_TRUE(store->readInt(QStringLiteral("A"), value));
    EXPECT_EQ(value, -1);
    EXPECT_TRUE(store->readInt(QStringLiteral("B"), value));
    EXPECT_EQ(value, -1) << "an unsigned 32-bit value reads as its signed twin";
    EXPECT_TRUE(store->readInt(QStringLiteral("C"), value));
    EXPECT_EQ(value, 7);
    store->close();
}

TEST_F(SettingsFile, TypedValuesAreNotTexts)
{
    folders.writeUserFile("[General]\nNetIP=@ByteArray(abc)\nNetPort=@Variant(\\0\\0\\0\\x2\\0\\0\\0\\x1)\n");
    ASSERT_TRUE(store->openForRead());
    QString text;
    EXPECT_FALSE(store->readString(QStringLiteral("NetIP"), text));
    EXPECT_FALSE(store->readString(QStringLiteral("NetPort"), text));
    store->close();
}

TEST_F(SettingsFile, CorruptFileCountsAsNoKey)
{
    const QByteArray corrupt[] = {
        bytes("[General]\nTYPE=1\nLanguageFlag=English\n\x01\x02\x03\xff\xfe"),
        bytes("[General]\nTYPE=1\0\0\0\0"),
        QByteArray("[General]\nTYPE=1\nLanguageFlag=Engl\xe9sh\n"), // not UTF-8
        QByteArray("[General]\nTYPE=1\nthis line is no setting\n"),
        QByteArray("[General\nTYPE=1\n"),
    };
    for (const QByteArray &bytes : corrupt) {
        folders.writeUserFile(bytes);
        EXPECT_FALSE(store->openForRead()) << bytes.toHex().toStdString();
        const StoredSettings s = LoadSettingsFrom(*store);
        EXPECT_EQ(s.storedType, 0);
        EXPECT_EQ(s.currentLanguage, 2);
        EXPECT_EQ(s.languageFlag, QStringLiteral("ChineseBIG5"));
        EXPECT_EQ(s.portName, QStringLiteral("COM3"));
    }
}

TEST_F(SettingsFile, CorruptFileIsReplacedByTheNextSave)
{
    folders.writeUserFile(QByteArray("[General]\nTYPE=1\n\x01\x02garbage\n"));
    ASSERT_TRUE(SaveLanguageTo(*store, QStringLiteral("ChineseGB")));
    const auto values = folders.userValues();
    EXPECT_EQ(values.size(), 1u);
    EXPECT_EQ(values.at(QStringLiteral("LanguageFlag")), QStringLiteral("ChineseGB"));
    const StoredSettings s = LoadSettingsFrom(*store);
    EXPECT_EQ(s.currentLanguage, 1);
    EXPECT_EQ(s.storedType, 0);
}

TEST_F(SettingsFile, UnreadableFileCountsAsNoKey)
{
    // A folder where the file should be cannot be read by anyone, root included.
    ASSERT_TRUE(QDir().mkpath(folders.userFile()));
    EXPECT_FALSE(store->openForRead());
    EXPECT_EQ(LoadSettingsFrom(*store).languageFlag, QStringLiteral("ChineseBIG5"));
    EXPECT_FALSE(store->openForWrite());
    EXPECT_FALSE(SaveLanguageTo(*store, QStringLiteral("English")));
}

TEST_F(SettingsFile, UnwritableFolderFailsTheOpenForWriting)
{
    // A plain file where the folder should be: nothing can be created below it.
    folders.writeUserFile("");
    QFile::remove(folders.userFile());
    QDir().rmdir(folders.userFolder());
    {
        QFile blocker(folders.userFolder());
        ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    }
    EXPECT_FALSE(store->openForWrite());
    EXPECT_FALSE(SaveLanguageTo(*store, QStringLiteral("English")));
    EXPECT_FALSE(store->openForRead());
}

TEST_F(SettingsFile, ReadOnlyFileFailsTheWriteWithoutHarm)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "permissions do not bind root";
    folders.writeUserFile("[General]\nLanguageFlag=English\n");
    QFile::setPermissions(folders.userFolder(), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    EXPECT_FALSE(SaveLanguageTo(*store, QStringLiteral("ChineseGB")));
    QFile::setPermissions(folders.userFolder(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    EXPECT_EQ(folders.userValues().at(QStringLiteral("LanguageFlag")), QStringLiteral("English"));
}

TEST_F(SettingsFile, WritesLeaveOnlyTheFinishedFile)
{
    ASSERT_TRUE(SaveLinkSettingsTo(*store, [] {
        return LinkSettingsRecord{0, QStringLiteral("4001"), QStringLiteral("127.0.0.1"), QStringLiteral("19200,e,8,1"),
                                  QStringLiteral("COM3")};
    }));
    QStringList names;
    QDirIterator it(folders.userFolder(), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        it.next();
        names << it.fileName();
    }
    EXPECT_EQ(names, QStringList{QStringLiteral("Relvix.conf")}) << "no temporary copy is left behind";
}

TEST_F(SettingsFile, MachineWideDefaultsFillWhatTheUserFileLacks)
{
    folders.writeMachineFile("[General]\nTYPE=1\nNetIP=127.0.0.2\nNetPort=5020\n");
    // No user file yet: the machine file alone is the key.
    StoredSettings s = LoadSettingsFrom(*store);
    EXPECT_EQ(s.storedType, 1);
    EXPECT_EQ(s.peerAddress, QStringLiteral("127.0.0.2"));
    EXPECT_EQ(s.currentLanguage, 0) << "a key without LanguageFlag is English";

    folders.writeUserFile("[General]\nNetIP=127.0.0.1\nLanguageFlag=ChineseGB\n");
    s = LoadSettingsFrom(*store);
    EXPECT_EQ(s.storedType, 1);
    EXPECT_EQ(s.peerAddress, QStringLiteral("127.0.0.1"));
    EXPECT_EQ(s.peerPort, QStringLiteral("5020"));
    EXPECT_EQ(s.currentLanguage, 1);

    ASSERT_TRUE(SaveLanguageTo(*store, QStringLiteral("English")));
    QSettings machine(folders.machineFile(), QSettings::IniFormat);
    EXPECT_FALSE(machine.contains(QStringLiteral("LanguageFlag"))) << "writes go to the user file only";
}

TEST_F(SettingsFile, CorruptMachineFileIsIgnored)
{
    folders.writeMachineFile(QByteArray("TYPE=1\n\x01\x02"));
    EXPECT_FALSE(store->openForRead());
    folders.writeUserFile("[General]\nNetPort=1\n");
    const StoredSettings s = LoadSettingsFrom(*store);
    EXPECT_EQ(s.storedType, 0);
    EXPECT_EQ(s.peerPort, QStringLiteral("1"));
}

TEST_F(SettingsFile, TheFileIsFoundAgainAtEachOpen)
{
    folders.writeUserFile("[General]\nLanguageFlag=ChineseGB\n");
    EXPECT_EQ(LoadSettingsFrom(*store).currentLanguage, 1);
    {
        SettingsFolders other; // another XDG_CONFIG_HOME for the same store object
        EXPECT_EQ(LoadSettingsFrom(*store).currentLanguage, 2);
        ASSERT_TRUE(SaveLanguageTo(*store, QStringLiteral("English")));
        EXPECT_TRUE(QFile::exists(other.userFile()));
    }
    EXPECT_EQ(LoadSettingsFrom(*store).currentLanguage, 1);
}
