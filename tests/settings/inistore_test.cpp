// The per-user settings file with machine-wide defaults, in temporary folders.
#include "settings/settings.h"
#include "support/settingsfixture.h"

#include <QDirIterator>
#include <unistd.h>

using namespace relvix;
using namespace relvix::shelltest;

namespace {

// Bytes of a literal, embedded zeros included.
template <std::size_t N> QByteArray bytes(const char (&text)[N])
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
    const QStringList texts{QStringLiteral("19200,e,8,1"), QStringLiteral(" padded "),   QStringLiteral(""),
                            QStringLiteral("a;b=c"),       QStringLiteral("@literal"),   QStringLiteral("\"quoted\""),
                            QStringLiteral("連線裝置"),    QStringLiteral("back\\slash")};
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
        bytes("[General]\nTYPE=1\n\0\0\0\0"), // zeros where a crash lost a block
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
    QFile::setPermissions(folders.userFolder(),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
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

// Nothing a person stored is lost: one test per way a good file used to be destroyed.

namespace {

// The five values a link save writes, as a load returns them.
std::tuple<std::int32_t, QString, QString, QString, QString> linkOf(const StoredSettings &s)
{
    return {s.storedType, s.portName, s.serialMode, s.peerAddress, s.peerPort};
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// How QSettings reads the user file now. It reads a copy under a name of its own: QSettings
// trusts what it parsed before for a file of the same path, size and time.
std::unique_ptr<QSettings> qtReading(const SettingsFolders &folders)
{
    static int copies = 0;
    const QString copy = folders.userFolder() + QStringLiteral("/qt%1.conf").arg(copies++);
    EXPECT_TRUE(QFile::copy(folders.userFile(), copy));
    return std::make_unique<QSettings>(copy, QSettings::IniFormat);
}

// Where two texts part, for a readable failure with texts of 32767 characters.
std::string firstDifference(const QString &a, const QString &b)
{
    qsizetype i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i])
        ++i;
    if (i == a.size() && i == b.size())
        return "same";
    const auto unit = [](const QString &s, qsizetype at) {
        return at < s.size() ? QString::number(s[at].unicode(), 16).toStdString() : std::string("end");
    };
    return "at " + std::to_string(i) + ": " + unit(a, i) + " vs " + unit(b, i);
}

} // namespace

// A full or unwritable temporary folder, common on small field laptops, made a good file count
// as corrupt: the start used the built-ins and the next language change dropped the link values.
TEST_F(SettingsFile, AFullTemporaryFolderChangesNothing)
{
    folders.writeUserFile("[General]\nTYPE=1\nComBaudRate=9600,n,8,1\nComPortName=ttyUSB0\nNetIP=127.0.0.1\n"
                          "NetPort=502\nLanguageFlag=English\n");
    ScopedEnvironment tmp("TMPDIR", folders.userFile().toUtf8()); // a file: nothing can be made in it
    const StoredSettings before = LoadSettingsFrom(*store);
    EXPECT_EQ(linkOf(before),
              linkOf(StoredSettings{QStringLiteral("ttyUSB0"), QStringLiteral("9600,n,8,1"), QStringLiteral("502"),
                                    QStringLiteral("127.0.0.1"), 0, QString(), 1}));
    ASSERT_TRUE(SaveLanguageTo(*store, QStringLiteral("ChineseGB")));
    const StoredSettings after = LoadSettingsFrom(*store);
    EXPECT_EQ(linkOf(after), linkOf(before));
    EXPECT_EQ(after.currentLanguage, 1);
}

// Whatever a field takes, a save writes and the next start reads back: every UTF-16 code unit
// (DEL was written raw and then judged corrupt), at the line edit's limit of 32767 characters.
TEST_F(SettingsFile, EveryTextAFieldTakesLoadsBackAfterASave)
{
    constexpr int kFieldLimit = 32767;
    QString lowUnits, highUnits, lastUnits;
    for (int unit = 0; unit <= 0xFFFF; ++unit)
        (unit < kFieldLimit ? lowUnits : unit < 2 * kFieldLimit ? highUnits : lastUnits).append(QChar(char16_t(unit)));
    const auto text = [](const char16_t *units) { return QString::fromUtf16(units); };
    const struct {
        const char *what;
        QString port, mode, address, netPort;
    } cases[] = {
        {"every code unit, at the limit", lowUnits, highUnits, lastUnits, QString(kFieldLimit, QChar(0x7F))},
        {"controls", text(u"COM\x7f"),
         text(u"\x01"
              u"9600\x1f"),
         text(u"\x7f"), text(u"\t502\r\n")},
        {"the file's own syntax", text(u"[General]"), text(u"#x;y=z,\"\\"), text(u"@String(a)"), text(u" @@ ")},
        {"escape then digit", QString(QChar(0)) + u'1',
         text(u"\x85"
              u"f"),
         text(u"\x7f"
              u"7"),
         QString()},
        {"beyond ASCII", text(u"連線裝置"), text(u"😀"),
         text(u"\xd800"
              u"1"),
         text(u"é\xdfff")},
    };
    for (const auto &c : cases) {
        ASSERT_TRUE(SaveLinkSettingsTo(*store, [&c] {
            return LinkSettingsRecord{0, c.netPort, c.address, c.mode, c.port};
        })) << c.what;
        const StoredSettings s = LoadSettingsFrom(*store);
        EXPECT_EQ(firstDifference(s.portName, c.port), "same") << c.what;
        EXPECT_EQ(firstDifference(s.serialMode, c.mode), "same") << c.what;
        EXPECT_EQ(firstDifference(s.peerAddress, c.address), "same") << c.what;
        EXPECT_EQ(firstDifference(s.peerPort, c.netPort), "same") << c.what;
        EXPECT_EQ(s.currentLanguage, 0) << c.what;
        // Any other Qt program reads the file the same.
        EXPECT_EQ(firstDifference(qtReading(folders)->value(QStringLiteral("ComPortName")).toString(), c.port), "same")
            << c.what;
    }
}

// Names edited by hand, such as "//", loaded, but the first save wrote them back as "\=", a line
// the INI reader rejects, and the start after it lost every setting.
TEST_F(SettingsFile, NamesWrittenByHandSurviveASave)
{
    const char *files[] = {
        "ComBaudRate=\n//=\n",
        "[General]\nComBaudRate=\nComPortName=ttyUSB1\na//=x\n",
        "[General]\nComBaudRate=\nComPortName=ttyUSB1\n\\\\=x\n[a]\n/b\\\\c=1\n",
    };
    for (const char *file : files) {
        folders.writeUserFile(file);
        const StoredSettings before = LoadSettingsFrom(*store);
        ASSERT_EQ(before.serialMode, QString()) << file;
        ASSERT_TRUE(SaveLanguageTo(*store, QStringLiteral("ChineseGB"))) << file;
        const StoredSettings after = LoadSettingsFrom(*store);
        EXPECT_EQ(linkOf(after), linkOf(before)) << file;
        EXPECT_EQ(after.currentLanguage, 1) << file;
    }
}

// Files that Qt's INI reader takes (or takes once it skips a byte-order mark and '#' comments)
// are used, however long a working connect made them.
TEST_F(SettingsFile, FilesTheIniReaderTakesAreUsed)
{
    const QByteArray longAddress(80 * 1024, '1');
    const QByteArray files[] = {
        "# written by hand\n[General]\nTYPE=1\nComPortName=ttyUSB0\n",
        "\xEF\xBB\xBF[General]\nTYPE=1\nComPortName=ttyUSB0\n",
        "[General]\n; caf\xe9\nTYPE=1\nComPortName=ttyUSB0\n",
        "[General]\nTYPE=1\nComPortName=ttyUSB0\nNetIP=" + longAddress + "\n",
        "[General]\nTYPE=1\nComPortName=ttyUSB0\nNetIP=caf\xe9\n", // read as Qt reads it, U+FFFD
    };
    for (const QByteArray &file : files) {
        folders.writeUserFile(file);
        const StoredSettings before = LoadSettingsFrom(*store);
        EXPECT_EQ(before.storedType, 1) << file.left(40).toStdString();
        EXPECT_EQ(before.portName, QStringLiteral("ttyUSB0")) << file.left(40).toStdString();
        ASSERT_TRUE(SaveLanguageTo(*store, QStringLiteral("ChineseGB")));
        EXPECT_EQ(linkOf(LoadSettingsFrom(*store)), linkOf(before)) << file.left(40).toStdString();
        // A connect with the values loaded rewrites nothing: every byte written by hand stays.
        ASSERT_TRUE(SaveLinkSettingsTo(*store, [&before] {
            return LinkSettingsRecord{before.storedType, before.peerPort, before.peerAddress, before.serialMode,
                                      before.portName};
        }));
        EXPECT_TRUE(rawUserFile().startsWith(file)) << file.left(40).toStdString();
    }
    EXPECT_FALSE(QFile::exists(folders.userFile() + QStringLiteral(".bad")));
}

// A file that cannot be used counts as no settings, but the save that replaces it first keeps
// it as Relvix.conf.bad beside the new file: one copy, the latest.
TEST_F(SettingsFile, AnUnusableFileIsKeptBesideTheNewOne)
{
    const QByteArray files[] = {
        "[General]\nTYPE=1\nthis line is no setting\n",
        "[General\nTYPE=1\n",
        "[General]\nTYPE=1\nNetIP=" + QByteArray(4 * 1024 * 1024, '1') + "\n",
    };
    for (const QByteArray &file : files) {
        folders.writeUserFile(file);
        EXPECT_EQ(LoadSettingsFrom(*store).storedType, 0) << file.left(40).toStdString();
        ASSERT_TRUE(SaveLanguageTo(*store, QStringLiteral("ChineseGB")));
        EXPECT_TRUE(fileBytes(folders.userFile() + QStringLiteral(".bad")) == file) << file.left(40).toStdString();
        EXPECT_EQ(folders.userValues(),
                  (std::map<QString, QString>{{QStringLiteral("LanguageFlag"), QStringLiteral("ChineseGB")}}));
    }
}

// The names and values a file holds are those Qt's INI reader finds in it, however they are spelled.
TEST_F(SettingsFile, ReadsWhatQtsReaderReads)
{
    const char *files[] = {
        "%54YPE=1\nComPort%4Eame = \"a;b\" \n",
        "[general]\nTYPE=2\n[%General]\nTYPE=3\n[ General ]\nNetIP=x\\\n y\n",
        "TYPE=1\n[a]\nTYPE=2\n[General]\nTYPE=4\nComBaudRate=9600 , n,8,1 ; comment\n",
        "NetPort=\"multi\nline\" \\x41\\101\n\xEF\xBB\xBFNetIP=@@at\nComPortName=@ByteArray(x)\n",
    };
    for (const char *file : files) {
        folders.writeUserFile(file);
        const auto qt = qtReading(folders);
        ASSERT_TRUE(store->openForRead()) << file;
        for (const QString &name :
             {QStringLiteral("TYPE"), QStringLiteral("ComBaudRate"), QStringLiteral("ComPortName"),
              QStringLiteral("NetIP"), QStringLiteral("NetPort")}) {
            const QVariant expected = qt->value(name);
            QString text;
            EXPECT_EQ(store->exists(name), qt->contains(name)) << file << " " << name.toStdString();
            EXPECT_EQ(store->readString(name, text) ? QVariant(text) : QVariant(),
                      expected.typeId() == QMetaType::QStringList ? QVariant(expected.toStringList().join(u','))
                      : expected.typeId() == QMetaType::QString   ? expected
                                                                  : QVariant())
                << file << " " << name.toStdString();
        }
        store->close();
    }
}

// A new value goes on a line of its own however the file ends: after a last line without a line
// break, and before a last line that would take it in (an open quote, a backslash before the
// final line break; found by fuzzing).
TEST_F(SettingsFile, ANewValueKeepsToItsOwnLine)
{
    const char *files[] = {"NetIP=1.2.3.4",      "NetIP=1.2.3.4\n; no line break after this",
                           "NetIP=\"1.2.3.4",    "NetIP=1.2.3.4 \\\n",
                           "NetIP=1.2.3.4 \\\r", "NetIP=1.2.3.4\\"};
    for (const char *file : files) {
        folders.writeUserFile(file);
        const StoredSettings before = LoadSettingsFrom(*store);
        ASSERT_TRUE(SaveLanguageTo(*store, QStringLiteral("ChineseGB"))) << file;
        const StoredSettings after = LoadSettingsFrom(*store);
        EXPECT_EQ(after.peerAddress, before.peerAddress) << file;
        EXPECT_EQ(after.currentLanguage, 1) << file;
        EXPECT_TRUE(rawUserFile().contains(file)) << file;
    }
}

// A copy that cannot be made stops the save: the file stays as it was.
TEST_F(SettingsFile, NoCopyNoSave)
{
    const QByteArray unusable = "[General]\nTYPE=1\nno setting\n";
    folders.writeUserFile(unusable);
    ASSERT_TRUE(QDir().mkpath(folders.userFile() + QStringLiteral(".bad"))); // a folder: no file can go there
    EXPECT_FALSE(SaveLanguageTo(*store, QStringLiteral("ChineseGB")));
    EXPECT_TRUE(rawUserFile() == unusable);
}
